// Register access through the memory driver, checked against the simulated
// board: the record the driver receives, one open/ioctl/close per access,
// failed requests, the board configuration operations and concurrent access.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "hw/brd.h"
#include "hw/memdrv.h"
#include "hw/reg.h"
#include "sim/sim.h"

namespace {

bool HostIsBigEndian() {
    const uint16_t one = 1;
    uint8_t first;
    memcpy(&first, &one, 1);
    return first == 0;
}

class RegTest : public ::testing::Test {
   protected:
    void SetUp() override { SIM_Reset(); }

    // The last record as the driver received it.
    static MemdrvRequest LastRecord(int* request) {
        uint8_t bytes[16] = {};
        EXPECT_EQ(SIM_LastRecord(request, bytes), 0);
        MemdrvRequest r;
        memcpy(&r, bytes, sizeof r);
        return r;
    }
};

TEST_F(RegTest, DriverReceivesRequestNumberWidthAddressAndTheMatchingValueField) {
    // Read: request 0, and the value comes back in the field of the width.
    SIM_RegPoke(0x2000, 0x5A);
    uint8_t b = 0;
    EXPECT_EQ(REG_Read(REG_WIDTH_8, 0x2000, &b), 0);
    EXPECT_EQ(b, 0x5A);
    int request = -1;
    MemdrvRequest r = LastRecord(&request);
    EXPECT_EQ(request, MEMDRV_READ);
    EXPECT_EQ(r.width, REG_WIDTH_8);
    EXPECT_EQ(r.address, 0x2000u);

    // The status register of the ODU channel: receive FIFO empty, transmitter idle.
    uint8_t status = 0;
    REG_Read(REG_WIDTH_8, 0x53000134, &status);
    EXPECT_EQ(status, 0xA0);

    // 8-bit write: the value sits in the byte at offset 8.
    EXPECT_EQ(REG_Write(REG_WIDTH_8, 0x5300012F, 1), 0);
    uint8_t bytes[16] = {};
    ASSERT_EQ(SIM_LastRecord(&request, bytes), 0);
    EXPECT_EQ(request, MEMDRV_WRITE);
    r = LastRecord(&request);
    EXPECT_EQ(r.width, REG_WIDTH_8);
    EXPECT_EQ(r.address, 0x5300012Fu);
    EXPECT_EQ(bytes[8], 0x01);
    if (HostIsBigEndian()) {
        const uint8_t board[9] = {0x00, 0x00, 0x00, 0x00, 0x53, 0x00, 0x01, 0x2F, 0x01};
        EXPECT_EQ(memcmp(bytes, board, sizeof board), 0);
    }

    // 32-bit write: the whole word in the 32-bit field.
    REG_Write(REG_WIDTH_32, 0xC8004004, 0x00040000);
    r = LastRecord(&request);
    EXPECT_EQ(request, MEMDRV_WRITE);
    EXPECT_EQ(r.width, REG_WIDTH_32);
    EXPECT_EQ(r.address, 0xC8004004u);
    EXPECT_EQ(r.value32, 0x00040000u);
    EXPECT_EQ(SIM_RegPeekDriver(0xC8004004), 0x00040000u);

    // 16-bit: the 16-bit field, both ways.
    REG_Write(REG_WIDTH_16, 0x53000200, 0xBEEF);
    r = LastRecord(&request);
    EXPECT_EQ(r.width, REG_WIDTH_16);
    EXPECT_EQ(r.value16, 0xBEEF);
    uint16_t w = 0x1234;
    REG_Read(REG_WIDTH_16, 0x53000200, &w);
    EXPECT_EQ(w, 0);  // a register the board does not have reads 0
    EXPECT_EQ(SIM_UnknownAccessCount(), 2);
}

TEST_F(RegTest, EveryAccessOpensIssuesOneRequestAndClosesAgain) {
    uint8_t b;
    uint32_t word;
    REG_Read(REG_WIDTH_8, 0x53000134, &b);
    REG_Write(REG_WIDTH_8, 0x2000, 7);
    REG_Read(REG_WIDTH_32, 0xC4000020, &word);
    EXPECT_EQ(SIM_DriverOpens(), 3);
    EXPECT_EQ(SIM_DriverIoctls(), 3);
    EXPECT_EQ(SIM_DriverCloses(), 3);
    EXPECT_EQ(SIM_DriverOpenNow(), 0);
    EXPECT_EQ(SIM_LastOpenFlags(), MEMDRV_OPEN_FLAGS);
    EXPECT_EQ(MEMDRV_Descriptor(), -1);
}

TEST_F(RegTest, DriverOpenedByTheCallerStaysOpenAcrossAccesses) {
    EXPECT_EQ(MEMDRV_Open(), 2);
    EXPECT_GT(MEMDRV_Descriptor(), 0);
    EXPECT_EQ(MEMDRV_Open(), 1);
    uint8_t b;
    REG_Read(REG_WIDTH_8, 0x2000, &b);
    REG_Write(REG_WIDTH_8, 0x2000, 3);
    EXPECT_EQ(SIM_DriverOpens(), 1);
    EXPECT_EQ(SIM_DriverIoctls(), 2);
    EXPECT_EQ(SIM_DriverOpenNow(), 1);
    MEMDRV_Close();
    EXPECT_EQ(MEMDRV_Descriptor(), -1);
    EXPECT_EQ(SIM_DriverOpenNow(), 0);
    EXPECT_EQ(SIM_RegPeek(0x2000), 3u);
}

TEST_F(RegTest, FailedRequestDeliversZeroAndTheNextAccessTriesAgain) {
    struct {
        const char* what;
        void (*fail)(int);
    } const cases[] = {{"driver missing", SIM_SetMemdrvMissing},
                       {"request refused", SIM_SetIoctlFails}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SIM_Reset();
        SIM_RegPoke(0x2000, 0x77);
        SIM_RegPoke(0xC8004008, 0xFFFFFFFF);
        c.fail(1);
        uint8_t b = 0xA5;
        uint32_t word = 0xA5A5A5A5;
        EXPECT_EQ(REG_Read(REG_WIDTH_8, 0x2000, &b), 0);
        EXPECT_EQ(REG_Read(REG_WIDTH_32, 0xC8004008, &word), 0);
        EXPECT_EQ(REG_Write(REG_WIDTH_8, 0x2000, 0x11), 0);
        EXPECT_EQ(b, 0);
        EXPECT_EQ(word, 0u);
        EXPECT_EQ(SIM_RegPeek(0x2000), 0x77u);
        EXPECT_LT(MEMDRV_Descriptor(), 0);
        EXPECT_EQ(SIM_DriverOpenNow(), 0);

        c.fail(0);
        REG_Read(REG_WIDTH_8, 0x2000, &b);
        EXPECT_EQ(b, 0x77);
        EXPECT_EQ(MEMDRV_Descriptor(), -1);
    }
}

TEST_F(RegTest, UnknownWidthStillReachesTheDriverAndDeliversNothing) {
    uint32_t result = 0xCAFEF00D;
    EXPECT_EQ(REG_Read(7, 0x2000, &result), 0);
    EXPECT_EQ(result, 0xCAFEF00Du);
    EXPECT_EQ(REG_Write(7, 0x2000, 1), 0);
    EXPECT_EQ(SIM_DriverIoctls(), 2);
    int request = -1;
    MemdrvRequest r = LastRecord(&request);
    EXPECT_EQ(request, MEMDRV_WRITE);
    EXPECT_EQ(r.width, 7);
    EXPECT_EQ(SIM_RegPeek(0x2000), 0u);
}

// The configuration words are byte-reversed on the way through the driver;
// bit 17 is a bit of the register itself, whatever the processor's order.
TEST_F(RegTest, ConfigBitIsTestedInTheRegistersOwnBitNumbering) {
    struct {
        uint32_t image;
        int result;
    } const cases[] = {{1u << 17, 1}, {~(1u << 17), 2}, {1u << 9, 2}, {0xFFFFFFFFu, 1}, {0, 2}};
    for (const auto& c : cases) {
        SIM_RegPoke(BRD_CONFIG_REG, c.image);
        EXPECT_EQ(BRD_TestConfigBit(), c.result) << std::hex << c.image;
    }
    EXPECT_EQ(SIM_RegWrites(BRD_CONFIG_REG), 0);
}

TEST_F(RegTest, ConfigWordIsWrittenOnlyWhenTheDriverDeliversAnotherWord) {
    SIM_RegPokeDriver(BRD_CONFIG_WORD_REG, BRD_CONFIG_WORD);
    EXPECT_EQ(BRD_EnsureConfigWord(), 0);
    EXPECT_EQ(SIM_RegWrites(BRD_CONFIG_WORD_REG), 0);

    for (uint32_t before : {0x00000000u, 0x94D10043u, 0x4300D195u}) {
        SIM_RegPokeDriver(BRD_CONFIG_WORD_REG, before);
        SIM_ClearWitness();
        EXPECT_EQ(BRD_EnsureConfigWord(), 0);
        EXPECT_EQ(SIM_RegWrites(BRD_CONFIG_WORD_REG), 1) << std::hex << before;
        EXPECT_EQ(SIM_RegPeekDriver(BRD_CONFIG_WORD_REG), BRD_CONFIG_WORD);
    }
}

// Register accesses from several threads: none may be lost because another
// thread closed the descriptor in between.
constexpr int kHammerLoops = 500;

struct Hammer {
    uint32_t address;
    int width;
    uint32_t expected;
    int wrong;
};

pthread_barrier_t hammerStart;

void* HammerRegister(void* arg) {
    Hammer* h = static_cast<Hammer*>(arg);
    pthread_barrier_wait(&hammerStart);
    for (int i = 0; i < kHammerLoops; ++i) {
        uint32_t v = 0;
        if (h->width == REG_WIDTH_8) {
            uint8_t b = 0;
            REG_Read(REG_WIDTH_8, h->address, &b);
            v = b;
        } else {
            REG_Read(REG_WIDTH_32, h->address, &v);
        }
        if (v != h->expected) ++h->wrong;
    }
    return nullptr;
}

TEST_F(RegTest, ConcurrentAccessesAreNeverLost) {
    // A driver that takes its time widens every window between open, ioctl
    // and close in which another thread could interfere.
    SIM_SetDriverDelayUs(20);
    SIM_RegPoke(0x2000, 0x5A);
    SIM_RegPokeDriver(0xC8004008, 0x12345678);
    Hammer h[3] = {{0x2000, REG_WIDTH_8, 0x5A, 0},
                   {0xC8004008, REG_WIDTH_32, 0x12345678, 0},
                   {0x2000, REG_WIDTH_8, 0x5A, 0}};
    pthread_t t[3];
    pthread_barrier_init(&hammerStart, nullptr, 3);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(pthread_create(&t[i], nullptr, HammerRegister, &h[i]), 0);
    for (pthread_t& thread : t) pthread_join(thread, nullptr);
    pthread_barrier_destroy(&hammerStart);
    for (const Hammer& x : h) EXPECT_EQ(x.wrong, 0) << std::hex << x.address;
    EXPECT_EQ(SIM_AccessCount(), 3 * kHammerLoops);
    EXPECT_EQ(SIM_DriverOpens(), SIM_DriverCloses());
    EXPECT_EQ(SIM_DriverOpenNow(), 0);
    EXPECT_EQ(MEMDRV_Descriptor(), -1);
}

// Interrupt reader threads are cancelled while they may be inside a register
// access; that must neither leave the driver locked nor leak its descriptor.
std::atomic<int> accessLoops{0};

void* AccessUntilCancelled(void*) {
    for (;;) {
        uint8_t b;
        REG_Read(REG_WIDTH_8, 0x53000126, &b);
        ++accessLoops;
        pthread_testcancel();
    }
    return nullptr;
}

bool JoinWithin(pthread_t t, int seconds) {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += seconds;
    return pthread_timedjoin_np(t, nullptr, &deadline) == 0;
}

TEST_F(RegTest, CancellingAThreadInsideAnAccessLeavesTheDriverUsable) {
    SIM_SetDriverDelayUs(20);  // most of an access is then spent in open, ioctl or close
    SIM_RegPoke(0x2000, 0x66);
    for (int round = 0; round < 20; ++round) {
        const int before = accessLoops.load();
        pthread_t reader;
        ASSERT_EQ(pthread_create(&reader, nullptr, AccessUntilCancelled, nullptr), 0);
        const int64_t end = SIM_NowUs() + 2000000;
        while (accessLoops.load() < before + 3 && SIM_NowUs() < end) sched_yield();
        ASSERT_GE(accessLoops.load(), before + 3) << "register access hangs, round " << round;
        pthread_cancel(reader);
        ASSERT_TRUE(JoinWithin(reader, 2)) << "cancelled reader hangs, round " << round;
    }
    EXPECT_EQ(SIM_DriverOpenNow(), 0);
    EXPECT_EQ(MEMDRV_Descriptor(), -1);
    uint8_t b = 0;
    REG_Read(REG_WIDTH_8, 0x2000, &b);
    EXPECT_EQ(b, 0x66);
}

}  // namespace
