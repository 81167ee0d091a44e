// Several threads talking to the ODU at once: the link lock must keep every
// conversation whole on the wire and every answer with its caller.
#include <pthread.h>

#include "link_sim_fixture.h"
#include "odu/frm.h"
#include "odu/msg.h"

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 50;

struct Reader {
    uint8_t command;
    uint8_t sub;
    int32_t expected;  // as the decoder hands it over for the parameter's kind
    int wrong;         // answers that were not this parameter's value
    int failed;        // transactions that did not return ODU_OK
};

int32_t Value(const OduValue& v) {
    switch (v.kind) {
        case VK_BYTE:
            return v.payload.b[0];
        case VK_WORD:
            return v.payload.w;
        default:
            return v.payload.l;
    }
}

void* ReadMany(void* arg) {
    auto* r = static_cast<Reader*>(arg);
    for (int i = 0; i < kRounds; i++) {
        OduValue v{};
        if (LNK_Transact(MSG_GET, r->command, r->sub, nullptr, &v) != ODU_OK) {
            r->failed++;
        } else if (Value(v) != r->expected) {
            r->wrong++;
        }
    }
    return nullptr;
}

// A transmission holds exactly one frame: flags only at both ends and a body
// whose FCS is right.
bool OneWholeFrame(const Bytes& b) {
    if (b.size() < 5 || b.front() != FRM_FLAG || b.back() != FRM_FLAG) return false;
    uint8_t body[FRM_MAX_BODY];
    uint8_t len = 0;
    for (size_t i = 1; i + 1 < b.size(); i++) {
        if (b[i] == FRM_FLAG || len == FRM_MAX_BODY) return false;
        body[len++] = b[i];
    }
    FRM_Unstuff(body, &len);
    return FRM_CheckFcs(body, len) == 1;
}

using LinkConcurrency = SimBoardTest;

TEST_F(LinkConcurrency, ParallelCallersEachGetTheirOwnValueAndFramesNeverInterleave) {
    Reader readers[kThreads] = {
        {2, 1, 0x5A, 0, 0},
        {2, 7, -1234, 0, 0},
        {2, 34, 0x12345678, 0, 0},
        {ODU_CMD_ALIVE, 0, 0xC3, 0, 0},
    };
    SIM_SetByte(2, 1, 0x5A);
    SIM_SetWord(2, 7, -1234);
    SIM_SetLong(2, 34, 0x12345678);
    SIM_SetByte(ODU_CMD_ALIVE, 0, 0xC3);
    {
        // Interrupt mode and a prompt ODU keep the 200 transactions short;
        // the answer wait is woken as soon as the answer starts to arrive.
        RxInterruptStandIn irq;
        SIM_SetAnswerDelayUs(20000);
        pthread_t threads[kThreads];
        for (int i = 0; i < kThreads; i++) {
            pthread_create(&threads[i], nullptr, ReadMany, &readers[i]);
        }
        for (pthread_t t : threads) pthread_join(t, nullptr);
    }
    for (const Reader& r : readers) {
        SCOPED_TRACE(static_cast<int>(r.sub));
        EXPECT_EQ(0, r.failed);
        EXPECT_EQ(0, r.wrong);
    }
    EXPECT_EQ(0, SIM_BadFrameCount());

    // On the wire every transmission is one whole frame, every answer is for
    // the request before it, and every answer taken is confirmed by a
    // marker. (An exchange may be repeated when the loaded machine lets an
    // answer be flushed with the request's end; nothing else is repeated.)
    auto t = WireTrace();
    ASSERT_GE(SIM_RequestCount(), kThreads * kRounds);
    ASSERT_LT(SIM_RequestCount(), SIM_TRACE_LOG / 3);
    ASSERT_EQ(static_cast<size_t>(SIM_TraceCount()), t.size());
    int requests = 0;
    int markers = 0;
    uint8_t lastCommand = 0;
    for (size_t i = 0; i < t.size(); i++) {
        SCOPED_TRACE(i);
        if (t[i].dir == SIM_IDU_TO_ODU && t[i].bytes == kMarkerFrame) {
            ASSERT_GT(i, 0u);
            EXPECT_EQ(SIM_ODU_TO_IDU, t[i - 1].dir);
            markers++;
            continue;
        }
        ASSERT_TRUE(OneWholeFrame(t[i].bytes));
        if (t[i].dir == SIM_IDU_TO_ODU) {
            requests++;
            lastCommand = t[i].bytes[2];
        } else {
            ASSERT_GT(i, 0u);
            EXPECT_EQ(SIM_IDU_TO_ODU, t[i - 1].dir);
            EXPECT_LT(t[i - 1].lastUs, t[i].firstUs);
            EXPECT_EQ(lastCommand, t[i].bytes[2]);  // command echoed
        }
    }
    EXPECT_EQ(SIM_RequestCount(), requests);
    EXPECT_EQ(kThreads * kRounds, markers);
}

}  // namespace
