// Interrupt lines against the simulated board: node creation, GPIO set-up,
// reader threads, events, the ODU receive interrupt and the link's answer
// wait, the counters and the scaled setting.
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>

#include "hw/gpio.h"
#include "hw/int.h"
#include "hw/port.h"
#include "odu/lnk.h"
#include "odu/msg.h"
#include "odu/odu.h"
#include "rt/lock.h"
#include "rt/sys_evt.h"
#include "rt/tmr.h"
#include "sim/sim.h"
#include "test_clock.h"

namespace {

// Polls cond every millisecond for up to limitMs; true once it holds.
bool waitFor(const std::function<bool()>& cond, int limitMs = 3000) {
    const int64_t end = MonoUs() + static_cast<int64_t>(limitMs) * 1000;
    while (!cond()) {
        if (MonoUs() > end) return false;
        TMR_SleepMs(1);
    }
    return true;
}

std::string mknod(int i) {
    char text[256] = {};
    return SIM_GetMknod(i, text, sizeof text) < 0 ? std::string() : std::string(text);
}

std::atomic<int> events20{0};
std::atomic<int> events22{0};
void onInt20() {
    events20++;
}
void onInt22() {
    events22++;
}

// Lines 20 and 22 differ only in their numbers and entry points.
struct LineCase {
    int line;
    int pin;
    uint32_t typeShift;  // first bit of the pin's field in GPIO_IRQTYPE_LO
    int event;
    int (*start)();
    int (*stop)();
    int (*ctl)(int);
    std::atomic<int>* events;
    SYS_EVT_Handler handler;
};

const LineCase kLines[] = {
    {20, 3, 9, SYS_EVT_INT20, INT_Line20Start, INT_Line20Stop, INT_Line20Ctl, &events20, onInt20},
    {22, 5, 15, SYS_EVT_INT22, INT_Line22Start, INT_Line22Stop, INT_Line22Ctl, &events22, onInt22},
};

class IntTest : public ::testing::Test {
   protected:
    void SetUp() override { SIM_Reset(); }
};

TEST_F(IntTest, MakeNodeRunsTheMknodCommand) {
    EXPECT_EQ(INT_MakeNode("/dev/int20", INT_NODE_MODE, INT_NODE_MAJOR, 20), 0);
    EXPECT_NE(INT_MakeNode("/dev/int20", INT_NODE_MODE, INT_NODE_MAJOR, 20), 0);  // exists now
    ASSERT_EQ(SIM_MknodCount(), 2);
    EXPECT_EQ(mknod(0), "mknod -m 666 /dev/int20 c 252 20");
}

TEST_F(IntTest, LineStartMakesNodeConfiguresPinAndOpens) {
    for (bool nodeExists : {false, true}) {
        for (const LineCase& c : kLines) {
            SCOPED_TRACE("line " + std::to_string(c.line) + (nodeExists ? " node exists" : ""));
            SIM_Reset();
            SIM_SetNodesExist(nodeExists ? 1 : 0);
            SIM_RegPoke(GPIO_DIRECTION, 0x00000001u);
            SIM_RegPoke(GPIO_IRQTYPE_LO, 0xFFFFFFFFu);
            testing::internal::CaptureStdout();
            EXPECT_EQ(c.start(), 0);
            const std::string out = testing::internal::GetCapturedStdout();
            const int fd = int_fd[c.line].load();
            EXPECT_GT(fd, 0);
            const std::string path = "/dev/int" + std::to_string(c.line);
            EXPECT_EQ(out, path + (nodeExists ? " - exists\n" : " - created\n") + "int_fd[" +
                               std::to_string(c.line) + "]=" + std::to_string(fd) + "\n");
            ASSERT_EQ(SIM_MknodCount(), 1);
            EXPECT_EQ(mknod(0), "mknod -m 666 " + path + " c 252 " + std::to_string(c.line));
            EXPECT_EQ(SIM_RegPeek(GPIO_DIRECTION), 0x00000001u | (1u << c.pin));
            EXPECT_EQ(SIM_RegPeek(GPIO_IRQTYPE_LO),
                      (0xFFFFFFFFu & ~(7u << c.typeShift)) | (3u << c.typeShift));
            EXPECT_EQ(SIM_IntOpenNow(c.line), 1);
            EXPECT_TRUE(waitFor([&] { return SIM_IntWaiting(c.line) == 1; }));
            EXPECT_EQ(c.stop(), 0);
        }
    }
}

TEST_F(IntTest, SecondStartIsRefusedAndChangesNothing) {
    for (const LineCase& c : kLines) {
        SCOPED_TRACE("line " + std::to_string(c.line));
        ASSERT_EQ(c.start(), 0);
        const int fd = int_fd[c.line].load();
        ASSERT_TRUE(waitFor([&] { return SIM_IntWaiting(c.line) == 1; }));
        SIM_ClearWitness();
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.start(), -1);
        EXPECT_EQ(c.ctl(INT_MODE_ON), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(SIM_MknodCount(), 0);
        EXPECT_EQ(SIM_AccessCount(), 0);
        EXPECT_EQ(int_fd[c.line].load(), fd);
        TMR_SleepMs(20);  // room for a stray second reader to reach its read
        EXPECT_EQ(SIM_IntWaiting(c.line), 1);
        EXPECT_EQ(SIM_IntOpenNow(c.line), 1);
    }
}

TEST_F(IntTest, StopWhileOffIsRefusedAndOtherModesDoNothing) {
    for (const LineCase& c : kLines) {
        SCOPED_TRACE("line " + std::to_string(c.line));
        EXPECT_EQ(c.stop(), -1);
        EXPECT_EQ(c.ctl(INT_MODE_OFF), -1);
        EXPECT_EQ(c.ctl(7), 0);
        EXPECT_EQ(c.ctl(-1), 0);
    }
    EXPECT_EQ(SIM_AccessCount(), 0);
    EXPECT_EQ(SIM_MknodCount(), 0);
}

TEST_F(IntTest, StopEndsTheReaderClosesTheNodeAndAcknowledgesThePin) {
    for (const LineCase& c : kLines) {
        SCOPED_TRACE("line " + std::to_string(c.line));
        ASSERT_EQ(c.start(), 0);
        ASSERT_TRUE(waitFor([&] { return SIM_IntWaiting(c.line) == 1; }));
        SIM_RegPoke(GPIO_IRQSTATUS, 0x00000001u);
        const int64_t t0 = MonoUs();
        EXPECT_EQ(c.stop(), 0);
        EXPECT_LT(MonoUs() - t0, 2000000);  // the reader goes promptly, no hang
        EXPECT_EQ(int_fd[c.line].load(), 0);
        EXPECT_EQ(SIM_IntWaiting(c.line), 0);
        EXPECT_EQ(SIM_IntOpenNow(c.line), 0);
        EXPECT_EQ(SIM_RegPeek(GPIO_IRQSTATUS), 0x00000001u | (1u << c.pin));
        EXPECT_EQ(c.stop(), -1);
        // A stopped line can be started again, with one reader.
        ASSERT_EQ(c.start(), 0);
        ASSERT_TRUE(waitFor([&] { return SIM_IntWaiting(c.line) == 1; }));
        EXPECT_EQ(SIM_IntOpenNow(c.line), 1);
        EXPECT_EQ(c.stop(), 0);
    }
}

TEST_F(IntTest, OpenFailureLeavesLineOffWithPinConfigured) {
    SIM_SetIntOpenFails(1);
    for (const LineCase& c : kLines) {
        SCOPED_TRACE("line " + std::to_string(c.line));
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.start(), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "/dev/int" + std::to_string(c.line) + " - created\n");
        EXPECT_LE(int_fd[c.line].load(), 0);
        EXPECT_NE(SIM_RegPeek(GPIO_DIRECTION) & (1u << c.pin), 0u);
        EXPECT_EQ(c.stop(), -1);
    }
}

TEST_F(IntTest, EachInterruptRaisesItsEventOnce) {
    SYS_EVT_Init();
    for (const LineCase& c : kLines) {
        SCOPED_TRACE("line " + std::to_string(c.line));
        ASSERT_GE(SYS_EVT_Register(c.event, c.handler), 0);
        ASSERT_EQ(c.start(), 0);
        for (int k = 1; k <= 3; k++) {
            ASSERT_TRUE(waitFor([&] { return SIM_IntWaiting(c.line) == 1; }));
            SIM_FireLine(c.line);
            ASSERT_TRUE(waitFor([&] { return c.events->load() == k; })) << k;
        }
        // The reader is back in read after the last one and raised nothing more.
        ASSERT_TRUE(waitFor([&] { return SIM_IntWaiting(c.line) == 1; }));
        EXPECT_EQ(SIM_IntReads(c.line), 3);
        EXPECT_EQ(c.events->load(), 3);
        EXPECT_EQ(c.stop(), 0);
    }
    EXPECT_EQ(events20.load(), 3);
    EXPECT_EQ(events22.load(), 3);
}

TEST_F(IntTest, InterruptWithoutHandlerIsDroppedAndReaderCarriesOn) {
    SYS_EVT_Init();
    const LineCase& c = kLines[1];
    ASSERT_EQ(c.start(), 0);
    ASSERT_TRUE(waitFor([&] { return SIM_IntWaiting(c.line) == 1; }));
    SIM_FireLine(c.line);
    ASSERT_TRUE(waitFor([&] { return SIM_IntReads(c.line) == 1 && SIM_IntWaiting(c.line) == 1; }));
    ASSERT_GE(SYS_EVT_Register(c.event, c.handler), 0);
    SIM_FireLine(c.line);
    EXPECT_TRUE(waitFor([&] { return c.events->load() == 1; }));
    EXPECT_EQ(c.stop(), 0);
}

// A driver that refuses reads must neither raise events nor spin a core.
TEST_F(IntTest, RefusedReadsBackOffAndRaiseNothing) {
    SYS_EVT_Init();
    SIM_SetIntReadFails(1);
    for (const LineCase& c : kLines) ASSERT_GE(SYS_EVT_Register(c.event, c.handler), 0);
    struct timespec cpu0, cpu1;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    for (const LineCase& c : kLines) ASSERT_EQ(c.start(), 0);
    ASSERT_EQ(INT_OduRxMode(INT_MODE_ON), 0);
    TMR_SleepMs(200);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    const int64_t cpuUs =
        (cpu1.tv_sec - cpu0.tv_sec) * 1000000LL + (cpu1.tv_nsec - cpu0.tv_nsec) / 1000;
    for (const LineCase& c : kLines) {
        // About one read per 10 ms back-off; a spinning reader makes thousands.
        EXPECT_LE(SIM_IntReads(c.line), 60) << c.line;
        EXPECT_GE(SIM_IntReads(c.line), 1) << c.line;
        EXPECT_EQ(c.stop(), 0) << c.line;
        EXPECT_EQ(c.events->load(), 0) << c.line;
    }
    EXPECT_LE(SIM_IntReads(INT_LINE_ODU_RX), 60);
    EXPECT_EQ(SIM_RegReads(PORT_IRQSTATUS), 0);  // a refused read is no interrupt
    EXPECT_EQ(INT_OduRxMode(INT_MODE_OFF), 0);
    EXPECT_LT(cpuUs, 150000);
}

TEST_F(IntTest, OduRxModeOnConfiguresPin10OpensAndEnables) {
    SIM_RegPoke(GPIO_IRQTYPE_HI, 0xFFFFFFFFu);
    SIM_RegPoke(PORT_IRQENABLE, 0x04);
    testing::internal::CaptureStdout();
    EXPECT_EQ(INT_OduRxMode(INT_MODE_ON), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    const int fd = int_fd[INT_LINE_ODU_RX].load();
    EXPECT_GT(fd, 0);
    EXPECT_EQ(out, "int_fd[27]=" + std::to_string(fd) + "\n");
    EXPECT_EQ(LNK_RxIrqMode.load(), 1);
    ASSERT_EQ(SIM_MknodCount(), 1);
    EXPECT_EQ(mknod(0), "mknod -m 666 /dev/int27 c 252 27");
    EXPECT_EQ(SIM_RegPeek(GPIO_DIRECTION), 1u << 10);
    EXPECT_EQ(SIM_RegPeek(GPIO_IRQTYPE_HI), (0xFFFFFFFFu & ~(7u << 6)) | (3u << 6));
    EXPECT_EQ(SIM_RegPeek(PORT_IRQENABLE), 0x05u);
    ASSERT_TRUE(waitFor([] { return SIM_IntWaiting(INT_LINE_ODU_RX) == 1; }));

    // Switching on again re-sets only the enable bit: no second node, reader
    // or descriptor.
    SIM_RegPoke(PORT_IRQENABLE, 0x00);
    SIM_ClearWitness();
    testing::internal::CaptureStdout();
    EXPECT_EQ(INT_OduRxMode(INT_MODE_ON), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(SIM_RegPeek(PORT_IRQENABLE), 0x01u);
    EXPECT_EQ(SIM_MknodCount(), 0);
    EXPECT_EQ(int_fd[INT_LINE_ODU_RX].load(), fd);
    TMR_SleepMs(20);
    EXPECT_EQ(SIM_IntWaiting(INT_LINE_ODU_RX), 1);
    EXPECT_EQ(SIM_IntOpenNow(INT_LINE_ODU_RX), 1);

    EXPECT_EQ(INT_OduRxMode(INT_MODE_OFF), 0);
    EXPECT_EQ(LNK_RxIrqMode.load(), 0);
    EXPECT_EQ(int_fd[INT_LINE_ODU_RX].load(), 0);
    EXPECT_EQ(SIM_IntWaiting(INT_LINE_ODU_RX), 0);
    EXPECT_EQ(SIM_IntOpenNow(INT_LINE_ODU_RX), 0);
    EXPECT_EQ(SIM_RegPeek(PORT_IRQENABLE), 0x00u);
    EXPECT_EQ(SIM_RegPeek(GPIO_DIRECTION), 1u << 10);  // the pin keeps its set-up
}

TEST_F(IntTest, OduRxModeOffWhileOffStillClearsEnableAndOtherModesDoNothing) {
    SIM_RegPoke(PORT_IRQENABLE, 0xFF);
    LNK_RxIrqMode.store(1);
    EXPECT_EQ(INT_OduRxMode(INT_MODE_OFF), 0);
    EXPECT_EQ(SIM_RegPeek(PORT_IRQENABLE), 0xFEu);
    EXPECT_EQ(LNK_RxIrqMode.load(), 0);

    SIM_ClearWitness();
    for (int mode : {5, 2, -1}) EXPECT_EQ(INT_OduRxMode(mode), mode);
    EXPECT_EQ(SIM_AccessCount(), 0);
    EXPECT_EQ(SIM_MknodCount(), 0);
    EXPECT_EQ(LNK_RxIrqMode.load(), 0);
}

TEST_F(IntTest, OduRxModeWithNodeThatWillNotOpenStillSetsModeAndEnable) {
    SIM_SetIntOpenFails(1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(INT_OduRxMode(INT_MODE_ON), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_LE(int_fd[INT_LINE_ODU_RX].load(), 0);
    EXPECT_EQ(LNK_RxIrqMode.load(), 1);
    EXPECT_EQ(SIM_RegPeek(PORT_IRQENABLE) & 0x01u, 0x01u);
    EXPECT_EQ(INT_OduRxMode(INT_MODE_OFF), 0);
}

// The reader wakes the answer wait only for the receive causes (bits 0, 1).
TEST_F(IntTest, OduRxReaderSignalsOnlyForReceiveCauses) {
    struct {
        uint8_t status;
        bool wakes;
    } const cases[] = {{0x01, true}, {0x02, true}, {0x03, true}, {0x04, false}};
    ASSERT_EQ(INT_OduRxMode(INT_MODE_ON), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE("status " + std::to_string(c.status));
        // A signal is not remembered, so the line keeps firing until the
        // wait below has ended.
        std::atomic<bool> done{false};
        pthread_t firer;
        auto fire = [](void* arg) -> void* {
            auto* d = static_cast<std::pair<std::atomic<bool>*, uint8_t>*>(arg);
            while (!d->first->load()) {
                SIM_RegPoke(PORT_IRQSTATUS, d->second);
                SIM_FireLine(INT_LINE_ODU_RX);
                TMR_SleepMs(5);
            }
            return nullptr;
        };
        std::pair<std::atomic<bool>*, uint8_t> arg{&done, c.status};
        struct timespec deadline;
        // A wake-up normally comes within milliseconds; the long limit only
        // allows for a heavily loaded emulated run.
        TMR_AbsTimeMs(&deadline, c.wakes ? 3000 : 300);
        pthread_mutex_lock(&LNK_RxMutex);
        ASSERT_EQ(pthread_create(&firer, nullptr, fire, &arg), 0);
        const int rc = pthread_cond_timedwait(&LNK_RxCond, &LNK_RxMutex, &deadline);
        pthread_mutex_unlock(&LNK_RxMutex);
        done.store(true);
        pthread_join(firer, nullptr);
        EXPECT_EQ(rc, c.wakes ? 0 : ETIMEDOUT);
    }
    EXPECT_EQ(INT_OduRxMode(INT_MODE_OFF), 0);
}

TEST_F(IntTest, OduRxStartBringsTransmitterToFinishedState) {
    const uint8_t pending[] = {0x11, 0x22, 0x33};
    struct {
        bool stuck;
        int result;
        int txStarts;
        int rxLeft;
    } const cases[] = {{false, 0, 0, 0}, {true, 1, 12, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stuck ? "transmitter stuck" : "transmitter idle");
        SIM_Reset();
        if (c.stuck) SIM_FaultAlways(SIM_FAULT_TX_STUCK);
        SIM_InjectRx(pending, sizeof pending);
        const int64_t t0 = MonoUs();
        testing::internal::CaptureStdout();
        EXPECT_EQ(INT_OduRxStart(), c.result);
        testing::internal::GetCapturedStdout();
        const int64_t took = MonoUs() - t0;
        EXPECT_EQ(LNK_RxIrqMode.load(), 1);
        EXPECT_EQ(SIM_RegPeek(PORT_IRQENABLE) & 0x01u, 0x01u);
        EXPECT_EQ(SIM_RegWrites(PORT_TXSTART), c.txStarts);
        EXPECT_EQ(SIM_RxPending(), c.rxLeft);
        if (c.stuck) {
            EXPECT_EQ(SIM_RegReads(PORT_STATUS), 12);
            EXPECT_GE(took, 11 * 100);
        }
        EXPECT_EQ(INT_OduRxMode(INT_MODE_OFF), 0);
    }
}

// End to end: with the receive interrupt on, the answer wait of a
// transaction ends when the answer arrives instead of after 500 ms.
TEST_F(IntTest, TransactionInInterruptModeEndsItsWaitWhenTheAnswerArrives) {
    LOCK_Init();
    // Late enough that even a slow emulated processor has flushed its
    // receive FIFO and begun the wait when the answer lands.
    SIM_SetAnswerDelayUs(100000);
    SIM_SetByte(2, 1, 5);
    ASSERT_EQ(INT_OduRxMode(INT_MODE_ON), 0);
    ASSERT_TRUE(waitFor([] { return SIM_IntWaiting(INT_LINE_ODU_RX) == 1; }));
    OduValue v{};
    ASSERT_EQ(LNK_Transact(MSG_GET, 2, 1, nullptr, &v), ODU_OK);
    EXPECT_EQ(v.kind, VK_BYTE);
    EXPECT_EQ(v.payload.b[0], 5);
    EXPECT_GE(SIM_IntReads(INT_LINE_ODU_RX), 1);
    // The marker frame confirming the answer follows it within the receive
    // time; after a polled wait it would come some 400 ms after the answer.
    const int n = SIM_TraceCount();
    ASSERT_GE(n, 3);
    SimFrame answer{}, marker{};
    ASSERT_EQ(SIM_GetTrace(n - 2, &answer), 0);
    ASSERT_EQ(SIM_GetTrace(n - 1, &marker), 0);
    EXPECT_EQ(answer.dir, SIM_ODU_TO_IDU);
    EXPECT_EQ(marker.dir, SIM_IDU_TO_ODU);
    EXPECT_EQ(marker.len, 5);
    EXPECT_GE(marker.firstUs, answer.lastUs);
    EXPECT_LT(marker.firstUs - answer.lastUs, 200000);
    EXPECT_EQ(INT_OduRxMode(INT_MODE_OFF), 0);
}

TEST(IrqCountsTest, DeltaAndPrintShowTheCountsSinceTheLastSnapshot) {
    IrqCounts d{};
    EXPECT_EQ(INT_IrqDelta(&d), &d);
    INT_IrqCount(IRQ_CNT_CTLCH);
    for (int i = 0; i < 3; i++) INT_IrqCount(IRQ_CNT_PIC);
    INT_IrqCount(IRQ_CNT_FAILOVER);
    INT_IrqDelta(&d);
    EXPECT_EQ(d.ctlch, 1);
    EXPECT_EQ(d.fsk + d.pvg + d.liu + d.pushbutton, 0);
    EXPECT_EQ(d.pic, 3);
    EXPECT_EQ(d.failover, 1);
    INT_IrqDelta(&d);
    EXPECT_EQ(d.ctlch + d.fsk + d.pvg + d.liu + d.pushbutton + d.pic + d.failover, 0);

    for (int i = 0; i < 2; i++) INT_IrqCount(IRQ_CNT_FSK);
    INT_IrqCount(IRQ_CNT_PUSHBUTTON);
    const char* line = "Delta IRQs: ctlch=0 fsk=2 pvg=0 liu=0 pushbutton=1 pic=0 failover=0\n";
    testing::internal::CaptureStdout();
    INT_IrqPrint();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line);
    INT_IrqDelta(&d);  // the print moved the snapshot
    EXPECT_EQ(d.fsk + d.pushbutton, 0);
}

TEST(ScaledSettingTest, StoresTheScaledValueSaturated) {
    EXPECT_EQ(INT_GetScaledSetting(), 1228800);
    struct {
        int n;
        int32_t stored;
    } const cases[] = {{30, 1228800},
                       {1, 40960},
                       {0, 0},
                       {-2, -81920},
                       {52428, 2147450880},
                       {52429, INT32_MAX},
                       {-52429, INT32_MIN},
                       {INT32_MAX, INT32_MAX}};
    for (const auto& c : cases) {
        EXPECT_EQ(INT_SetScaledSetting(c.n), c.n);
        EXPECT_EQ(INT_GetScaledSetting(), c.stored) << c.n;
    }
}

}  // namespace
