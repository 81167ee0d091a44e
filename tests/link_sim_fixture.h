// Shared pieces of the link and parameter-operation tests against the
// simulated board.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hw/port.h"
#include "odu/lnk.h"
#include "odu/odu.h"
#include "rt/lock.h"
#include "sim/sim.h"

inline int64_t NowMs() {
    return SIM_NowUs() / 1000;
}

inline void ExpectLinkLockFree() {
    int held = -1;
    int pid = 0;
    ASSERT_EQ(0, LOCK_Query(LOCK_ODU_LINK, &held, &pid));
    EXPECT_EQ(0, held) << "link lock still held";
}

constexpr int kPolledAnswerDelayUs = 400000;
// In interrupt mode the answer delay adds to every transaction; shorter.
constexpr int kIrqAnswerDelayUs = 100000;

// Fresh board, lock table set up, polled answer wait; every test must leave
// the link lock free.
class SimBoardTest : public ::testing::Test {
   protected:
    void SetUp() override {
        WarmUp();
        SIM_Reset();
        // The receive FIFO is flushed once the request has gone out. The
        // polled answer wait reads after 500 ms, so the model ODU may answer
        // as late as 400 ms: even a test thread that the loaded machine
        // deschedules for a long while there does not flush the answer.
        SIM_SetAnswerDelayUs(kPolledAnswerDelayUs);
        LOCK_Init();
        LNK_RxIrqMode = 0;
        LNK_DebugMode(0);
        LNK_GapTimer = TmrDeadline{};  // as at process start: no gap before the first exchange
    }
    void TearDown() override { ExpectLinkLockFree(); }

    // Runs the port and driver paths once before the test proper: under an
    // emulator the first run of that code is slow enough to let an answer
    // land before the request's end has flushed the receive FIFO.
    static void WarmUp() {
        SIM_Reset();
        for (uint8_t b : {0x7E, 0xFF, 0x00, 0xFF, 0x7E}) PORT_PutByte(b);
        PORT_StartTx();
        PORT_WaitTxDone();
        uint8_t b = 0;
        PORT_GetByte(&b);
        TmrDeadline d{};
        TMR_DeadlineStart(&d);
        TMR_DeadlineExpired(&d, 1);
    }
};

template <typename P>
class SimBoardParamTest : public SimBoardTest, public ::testing::WithParamInterface<P> {};

// Stands in for the receive-interrupt reader thread: switches the answer
// wait to interrupt mode and signals LNK_RxCond whenever answer bytes wait
// in the receive FIFO, as the interrupt of the first answer byte would.
class RxInterruptStandIn {
   public:
    RxInterruptStandIn() {
        SIM_SetAnswerDelayUs(kIrqAnswerDelayUs);
        LNK_RxIrqMode = 1;
        pthread_create(&thread_, nullptr, Run, this);
    }
    ~RxInterruptStandIn() {
        stop_ = true;
        pthread_join(thread_, nullptr);
        LNK_RxIrqMode = 0;
    }
    // An answer that starts 100 ms after the request may, on a loaded
    // machine, be flushed with the request's end; the exchange is then
    // repeated. Tests in this mode therefore count completed transactions
    // (marker frames) rather than requests.
    RxInterruptStandIn(const RxInterruptStandIn&) = delete;
    RxInterruptStandIn& operator=(const RxInterruptStandIn&) = delete;

   private:
    static void* Run(void* arg) {
        auto* self = static_cast<RxInterruptStandIn*>(arg);
        while (!self->stop_) {
            if (SIM_RxPending() > 0) pthread_cond_signal(&LNK_RxCond);
            struct timespec pause = {0, 200000};
            nanosleep(&pause, nullptr);
        }
        return nullptr;
    }
    pthread_t thread_;
    std::atomic<bool> stop_{false};
};

using Bytes = std::vector<uint8_t>;

struct TraceEntry {
    int dir;
    int64_t firstUs;
    int64_t lastUs;
    Bytes bytes;
};

inline std::vector<TraceEntry> WireTrace() {
    std::vector<TraceEntry> out;
    auto f = std::make_unique<SimFrame>();
    for (int i = 0; i < SIM_TraceCount(); i++) {
        if (SIM_GetTrace(i, f.get()) != 0) continue;
        int n = f->len < SIM_FRAME_MAX ? f->len : SIM_FRAME_MAX;
        out.push_back({f->dir, f->firstUs, f->lastUs, Bytes(f->bytes, f->bytes + n)});
    }
    return out;
}

inline const Bytes kMarkerFrame = {0x7E, 0xFF, 0x00, 0xFF, 0x7E};

inline Bytes Frame(const Bytes& msg) {
    uint8_t out[512];
    int n = SIM_BuildFrame(msg.data(), static_cast<int>(msg.size()), out, sizeof out);
    return n < 0 ? Bytes() : Bytes(out, out + n);
}

// Message bytes of the last request the model ODU received.
inline Bytes LastRequest() {
    auto r = std::make_unique<SimRequest>();
    if (SIM_GetRequest(SIM_RequestCount() - 1, r.get()) != 0) return Bytes();
    return Bytes(r->msg, r->msg + r->len);
}

// Pause before each request that follows a completed transaction: from the
// end of the marker frame that confirmed the previous answer to the first
// byte of the request. Requests that repeat an unanswered exchange are left
// out.
inline std::vector<int64_t> PausesBeforeRequestsUs() {
    std::vector<int64_t> out;
    auto t = WireTrace();
    for (size_t i = 1; i < t.size(); i++) {
        if (t[i].dir != SIM_IDU_TO_ODU || t[i].bytes == kMarkerFrame) continue;
        size_t j = i - 1;
        while (j > 0 && t[j].dir != SIM_IDU_TO_ODU) j--;
        if (t[j].dir == SIM_IDU_TO_ODU && t[j].bytes == kMarkerFrame) {
            out.push_back(t[i].firstUs - t[j].lastUs);
        }
    }
    return out;
}
