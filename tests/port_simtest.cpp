// The ODU serial port against the simulated FPGA: exact register traffic,
// poll counts and the waits between polls of every port operation.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "hw/port.h"
#include "sim/sim.h"

namespace {

class PortTest : public ::testing::Test {
   protected:
    void SetUp() override {
        SIM_Reset();
        mark_ = SIM_AccessCount();
    }

    // Register accesses since the last Mark (or the start of the test).
    std::vector<SimAccess> Accesses() const {
        std::vector<SimAccess> out;
        for (int64_t i = mark_; i < SIM_AccessCount(); ++i) {
            SimAccess a{};
            EXPECT_EQ(SIM_GetAccess(i, &a), 0);
            out.push_back(a);
        }
        return out;
    }
    void Mark() { mark_ = SIM_AccessCount(); }

    static int Count(const std::vector<SimAccess>& v, uint32_t address, int write) {
        int n = 0;
        for (const SimAccess& a : v) n += a.address == address && a.write == write ? 1 : 0;
        return n;
    }

    // Smallest gap between consecutive accesses of the given kind.
    static int64_t MinGap(const std::vector<SimAccess>& v, uint32_t address, int write) {
        int64_t last = -1;
        int64_t gap = INT64_MAX;
        for (const SimAccess& a : v) {
            if (a.address != address || a.write != write) continue;
            if (last >= 0 && a.tUs - last < gap) gap = a.tUs - last;
            last = a.tUs;
        }
        return gap;
    }

    static std::vector<uint8_t> Bytes(int n) {
        std::vector<uint8_t> v(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 7 + 1);
        return v;
    }

    int64_t mark_ = 0;
};

TEST_F(PortTest, GetByteOnASilentChannelPollsTwelveTimesAndLeavesTheDestination) {
    uint8_t dest = 0x5A;
    EXPECT_EQ(PORT_GetByte(&dest), 1);
    EXPECT_EQ(dest, 0x5A);
    std::vector<SimAccess> v = Accesses();
    ASSERT_EQ(v.size(), 12u);
    EXPECT_EQ(Count(v, PORT_STATUS, 0), 12);
    EXPECT_GE(MinGap(v, PORT_STATUS, 0), 100);
}

TEST_F(PortTest, GetByteTakesAByteThatIsThereOrArrivesWhilePolling) {
    const uint8_t b = 0x42;
    SIM_InjectRx(&b, 1);
    uint8_t dest = 0;
    EXPECT_EQ(PORT_GetByte(&dest), 0);
    EXPECT_EQ(dest, 0x42);
    std::vector<SimAccess> v = Accesses();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].address, PORT_STATUS);
    EXPECT_EQ(v[1].address, PORT_RXDATA);

    Mark();
    const uint8_t late = 0x17;
    SIM_ScheduleRx(400, &late, 1);
    EXPECT_EQ(PORT_GetByte(&dest), 0);
    EXPECT_EQ(dest, 0x17);
    v = Accesses();
    EXPECT_LE(Count(v, PORT_STATUS, 0), 12);
    EXPECT_EQ(Count(v, PORT_RXDATA, 0), 1);
}

TEST_F(PortTest, PutByteWritesAtOnceWhenThereIsRoom) {
    EXPECT_EQ(PORT_PutByte(0x7E), 0);
    std::vector<SimAccess> v = Accesses();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].address, PORT_STATUS);
    EXPECT_EQ(v[0].write, 0);
    EXPECT_EQ(v[1].address, PORT_TXDATA);
    EXPECT_EQ(v[1].write, 1);
    EXPECT_EQ(v[1].value, 0x7Eu);
    EXPECT_EQ(SIM_TxPending(), 1);
}

TEST_F(PortTest, PutByteGivesUpAfterTwelveReadsOfAFullFifo) {
    SIM_FaultAlways(SIM_FAULT_TX_FULL);
    EXPECT_EQ(PORT_PutByte(0x11), 1);
    std::vector<SimAccess> v = Accesses();
    EXPECT_EQ(v.size(), 12u);
    EXPECT_EQ(Count(v, PORT_STATUS, 0), 12);
    EXPECT_GE(MinGap(v, PORT_STATUS, 0), 10);
    EXPECT_EQ(SIM_TxPending(), 0);

    // A FIFO that fills up by its depth is refused the same way.
    SIM_Reset();
    SIM_SetTxFifoDepth(2);
    EXPECT_EQ(PORT_PutByte(1), 0);
    EXPECT_EQ(PORT_PutByte(2), 0);
    EXPECT_EQ(PORT_PutByte(3), 1);
    EXPECT_EQ(SIM_TxPending(), 2);
}

TEST_F(PortTest, SendByteStartsTheTransmitterOnlyWhenTheByteWasWritten) {
    struct {
        bool full;
        int result;
        int txStarts;
    } const cases[] = {{false, 0, 1}, {true, 1, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.full ? "full" : "room");
        SIM_Reset();
        if (c.full) SIM_FaultAlways(SIM_FAULT_TX_FULL);
        Mark();
        EXPECT_EQ(PORT_SendByte(0x33), c.result);
        std::vector<SimAccess> v = Accesses();
        EXPECT_EQ(Count(v, PORT_TXSTART, 1), c.txStarts);
        if (c.txStarts == 1) {
            ASSERT_GE(v.size(), 2u);
            EXPECT_EQ(v[v.size() - 2].address, PORT_TXDATA);
            EXPECT_EQ(v.back().address, PORT_TXSTART);
            EXPECT_EQ(v.back().value, 1u);
        }
    }
}

TEST_F(PortTest, FlushRxRemovesAtMost128Bytes) {
    struct {
        int pending;
        int statusReads;
        int dataReads;
        int left;
    } const cases[] = {{0, 1, 0, 0}, {1, 2, 1, 0}, {127, 128, 127, 0}, {200, 128, 128, 72}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pending);
        SIM_Reset();
        std::vector<uint8_t> bytes = Bytes(c.pending);
        SIM_InjectRx(bytes.data(), c.pending);
        Mark();
        PORT_FlushRx();
        std::vector<SimAccess> v = Accesses();
        EXPECT_EQ(Count(v, PORT_STATUS, 0), c.statusReads);
        EXPECT_EQ(Count(v, PORT_RXDATA, 0), c.dataReads);
        EXPECT_EQ(static_cast<int>(v.size()), c.statusReads + c.dataReads);
        EXPECT_EQ(SIM_RxPending(), c.left);
        if (c.dataReads > 1) {
            EXPECT_GE(MinGap(v, PORT_RXDATA, 0), 100);
        }
    }
}

TEST_F(PortTest, WaitTxDoneWhenAlreadyFinishedPollsOnceAndFlushes) {
    std::vector<uint8_t> bytes = Bytes(3);
    SIM_InjectRx(bytes.data(), 3);
    EXPECT_EQ(PORT_WaitTxDone(), 0);
    std::vector<SimAccess> v = Accesses();
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v[0].address, PORT_STATUS);
    EXPECT_EQ(Count(v, PORT_RXDATA, 0), 3);
    EXPECT_EQ(Count(v, PORT_STATUS, 0), 1 + 4);  // the poll, then the flush
    EXPECT_EQ(SIM_RxPending(), 0);
}

TEST_F(PortTest, WaitTxDoneFollowsTheFrameOnTheLine) {
    // 20 bytes at 115200 bit/s take 1736 us on the line.
    for (uint8_t b : Bytes(20)) PORT_PutByte(b);
    Mark();
    PORT_StartTx();
    EXPECT_EQ(PORT_WaitTxDone(), 0);
    std::vector<SimAccess> v = Accesses();
    ASSERT_FALSE(v.empty());
    ASSERT_EQ(v[0].address, PORT_TXSTART);
    int64_t doneAt = -1;
    for (const SimAccess& a : v) {
        if (a.address == PORT_STATUS && doneAt < 0 && (a.value & PORT_ST_TXDONE) != 0)
            doneAt = a.tUs;
    }
    ASSERT_GE(doneAt, 0);
    EXPECT_GE(doneAt - v[0].tUs, 1736);
    EXPECT_LT(Count(v, PORT_STATUS, 0), 8001);
}

TEST_F(PortTest, WaitTxDoneGivesUpAfter8001PollsWithoutFlushing) {
    SIM_FaultAlways(SIM_FAULT_TX_STUCK);
    std::vector<uint8_t> bytes = Bytes(3);
    SIM_InjectRx(bytes.data(), 3);
    EXPECT_EQ(PORT_WaitTxDone(), -1);
    std::vector<SimAccess> v = Accesses();
    EXPECT_EQ(static_cast<int>(v.size()), 8001);
    EXPECT_EQ(Count(v, PORT_STATUS, 0), 8001);
    ASSERT_FALSE(v.empty());
    EXPECT_GE(v.back().tUs - v.front().tUs, 400000);
    EXPECT_EQ(SIM_RxPending(), 3);
}

TEST_F(PortTest, ReadBurstReturnsTheCountBelow128) {
    struct {
        int pending;
        int result;
        int left;
    } const cases[] = {{1, 1, 0}, {127, 127, 0}, {128, -1, 0}, {200, -1, 72}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pending);
        SIM_Reset();
        std::vector<uint8_t> bytes = Bytes(c.pending);
        SIM_InjectRx(bytes.data(), c.pending);
        Mark();
        uint8_t buf[PORT_BURST_MAX] = {};
        EXPECT_EQ(PORT_ReadBurst(buf), c.result);
        const int taken = c.pending < PORT_BURST_MAX ? c.pending : PORT_BURST_MAX;
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + taken),
                  std::vector<uint8_t>(bytes.begin(), bytes.begin() + taken));
        EXPECT_EQ(SIM_RxPending(), c.left);
        std::vector<SimAccess> v = Accesses();
        EXPECT_EQ(Count(v, PORT_RXDATA, 0), taken);
        // One sleep of 20 ms after the first byte was seen, none between reads.
        ASSERT_GE(v.size(), 2u);
        EXPECT_GE(v[1].tUs - v[0].tUs, 20000);
    }
}

TEST_F(PortTest, ReadBurstCollectsABurstStillArrivingAfterItsFirstByte) {
    // 60 bytes at 115200 bit/s arrive within about 5 ms, inside the 20 ms pause.
    std::vector<uint8_t> bytes = Bytes(60);
    SIM_ScheduleRx(0, bytes.data(), 60);
    uint8_t buf[PORT_BURST_MAX] = {};
    EXPECT_EQ(PORT_ReadBurst(buf), 60);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 60), bytes);
}

TEST_F(PortTest, ReadBurstWithNothingArrivingGivesUpAfterTwelvePolls) {
    uint8_t buf[PORT_BURST_MAX] = {};
    EXPECT_EQ(PORT_ReadBurst(buf), -1);
    std::vector<SimAccess> v = Accesses();
    EXPECT_EQ(v.size(), 12u);
    EXPECT_EQ(Count(v, PORT_STATUS, 0), 12);
    EXPECT_GE(MinGap(v, PORT_STATUS, 0), 500);
}

}  // namespace
