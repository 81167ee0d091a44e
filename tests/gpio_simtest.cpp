// GPIO, interrupt-controller and FPGA interrupt register operations, checked
// against the register images of the simulated board.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "hw/fpga.h"
#include "hw/gpio.h"
#include "hw/irq.h"
#include "hw/port.h"
#include "sim/sim.h"

namespace {

constexpr uint32_t kGpioWords[] = {GPIO_DIRECTION,  GPIO_LEVEL,      GPIO_IRQSTATUS,
                                   GPIO_IRQTYPE_LO, GPIO_IRQTYPE_HI, IRQ_ENABLE};

class GpioTest : public ::testing::Test {
   protected:
    void SetUp() override { SIM_Reset(); }

    int wordWrites() {
        int n = 0;
        for (uint32_t a : kGpioWords) n += SIM_RegWrites(a);
        return n;
    }
};

bool hostIsLittleEndian() {
    const uint32_t one = 1;
    return *reinterpret_cast<const uint8_t*>(&one) == 1;
}

uint32_t byteReversed(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

struct TypeCase {
    int pin;
    uint32_t reg;    // word holding the pin's field
    uint32_t other;  // the type word that must stay untouched
    int shift;       // first bit of the field
};

TEST_F(GpioTest, SetIrqTypeWritesOnlyThePinsFieldOfTheRightWord) {
    const TypeCase cases[] = {
        {0, GPIO_IRQTYPE_LO, GPIO_IRQTYPE_HI, 0},   {3, GPIO_IRQTYPE_LO, GPIO_IRQTYPE_HI, 9},
        {5, GPIO_IRQTYPE_LO, GPIO_IRQTYPE_HI, 15},  {7, GPIO_IRQTYPE_LO, GPIO_IRQTYPE_HI, 21},
        {8, GPIO_IRQTYPE_HI, GPIO_IRQTYPE_LO, 0},   {10, GPIO_IRQTYPE_HI, GPIO_IRQTYPE_LO, 6},
        {12, GPIO_IRQTYPE_HI, GPIO_IRQTYPE_LO, 12},
    };
    for (const TypeCase& c : cases) {
        SCOPED_TRACE("pin " + std::to_string(c.pin));
        for (uint32_t before : {0x00000000u, 0xFFFFFFFFu, 0xA5A5A5A5u}) {
            SIM_RegPoke(GPIO_IRQTYPE_LO, before);
            SIM_RegPoke(GPIO_IRQTYPE_HI, before);
            EXPECT_EQ(GPIO_SetIrqType(c.pin, 3), 0);
            EXPECT_EQ(SIM_RegPeek(c.reg), (before & ~(7u << c.shift)) | (3u << c.shift));
            EXPECT_EQ(SIM_RegPeek(c.other), before);
        }
    }
}

TEST_F(GpioTest, PinsWithoutATypeFieldTouchNoRegister) {
    for (int pin : {13, 31, 32, 40, -1}) {
        SIM_ClearWitness();
        EXPECT_EQ(GPIO_SetIrqType(pin, 3), 0) << pin;
        EXPECT_EQ(SIM_AccessCount(), 0) << pin;
    }
}

TEST_F(GpioTest, OversizedTypeStaysInsideItsField) {
    SIM_RegPoke(GPIO_IRQTYPE_LO, 0);
    GPIO_SetIrqType(3, 0xFF);
    EXPECT_EQ(SIM_RegPeek(GPIO_IRQTYPE_LO), 7u << 9);
}

TEST_F(GpioTest, SetDirectionChangesOnlyThePinsBit) {
    struct {
        int pin;
        int value;
        uint32_t before;
        uint32_t after;
    } const cases[] = {
        {10, 1, 0x00000000u, 0x00000400u}, {10, 1, 0x00000400u, 0x00000400u},
        {3, 0, 0xFFFFFFFFu, 0xFFFFFFF7u},  {3, 7, 0x0000000Fu, 0x00000007u},  // any v != 1 clears
        {31, 1, 0x00000001u, 0x80000001u}, {32, 1, 0x12345678u, 0x12345678u},
        {40, 0, 0x12345678u, 0x12345678u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("pin " + std::to_string(c.pin) + " value " + std::to_string(c.value));
        SIM_RegPoke(GPIO_DIRECTION, c.before);
        EXPECT_EQ(GPIO_SetDirection(c.pin, c.value), 0);
        EXPECT_EQ(SIM_RegPeek(GPIO_DIRECTION), c.after);
    }
}

TEST_F(GpioTest, ReadPinAndIrqPendingTestTheirWordsBit) {
    SIM_RegPoke(GPIO_LEVEL, 0x80000402u);      // pins 1, 10, 31
    SIM_RegPoke(GPIO_IRQSTATUS, 0x00000028u);  // pins 3, 5
    struct {
        int pin;
        int level;
        int pending;
    } const cases[] = {{1, 1, 0},  {3, 0, 1}, {5, 0, 1},  {10, 1, 0},
                       {31, 1, 0}, {0, 0, 0}, {32, 0, 0}, {40, 0, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(GPIO_ReadPin(c.pin), c.level) << "pin " << c.pin;
        EXPECT_EQ(GPIO_IrqPending(c.pin), c.pending) << "pin " << c.pin;
    }
    EXPECT_EQ(wordWrites(), 0);
}

TEST_F(GpioTest, IrqAckWritesTheWordAsReadWithThePinsBitSet) {
    SIM_RegPoke(GPIO_IRQSTATUS, 0x00000021u);
    SIM_ClearWitness();
    EXPECT_EQ(GPIO_IrqAck(3), 0);
    EXPECT_EQ(SIM_RegPeek(GPIO_IRQSTATUS), 0x00000029u);
    EXPECT_EQ(SIM_RegWrites(GPIO_IRQSTATUS), 1);
}

struct EnableCase {
    int on;
    int n;
    uint32_t before;
    uint32_t mask;   // as printed
    uint32_t value;  // the controller word's new bit image
};

TEST_F(GpioTest, SetEnablePrintsAndWritesTheNewWord) {
    const EnableCase cases[] = {
        {1, 27, 0x00000000u, 0x08000000u, 0x08000000u},
        {0, 27, 0xFFFFFFFFu, 0xF7FFFFFFu, 0xF7FFFFFFu},
        {1, 0, 0x80000000u, 0x00000001u, 0x80000001u},
        {2, 27, 0x00000005u, 0x08000000u, 0x00000005u},  // neither on nor off: word unchanged
        {1, 40, 0x00000005u, 0x00000000u, 0x00000005u},  // no such bit
        {0, 40, 0x00000005u, 0xFFFFFFFFu, 0x00000005u},
    };
    for (const EnableCase& c : cases) {
        SCOPED_TRACE("on " + std::to_string(c.on) + " n " + std::to_string(c.n));
        SIM_RegPoke(IRQ_ENABLE, c.before);
        // The printed temp is the word as handed to the driver: byte-reversed
        // on a big-endian processor, the same as value on a little-endian one.
        const uint32_t temp = hostIsLittleEndian() ? c.value : byteReversed(c.value);
        char expected[128];
        snprintf(expected, sizeof expected,
                 "regaddr=0xc8003004 mask=0x%08x value=0x%08x temp=0x%08x\n",
                 static_cast<unsigned>(c.mask), static_cast<unsigned>(c.value),
                 static_cast<unsigned>(temp));
        testing::internal::CaptureStdout();
        EXPECT_EQ(IRQ_SetEnable(c.on, c.n), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
        EXPECT_EQ(SIM_RegPeek(IRQ_ENABLE), c.value);
        EXPECT_EQ(SIM_RegPeekDriver(IRQ_ENABLE), temp);
    }
}

TEST_F(GpioTest, IrqWriteBitWritesTheSourcesBitOrRefuses) {
    struct {
        int source;
        int result;
        int writes;
        uint8_t value;
    } const cases[] = {{0, 0, 1, 0x04},  {2, 0, 1, 0x01},  {3, 0, 1, 0x02},
                       {1, -1, 0, 0x00}, {4, -1, 0, 0x00}, {-1, -1, 0, 0x00}};
    for (const auto& c : cases) {
        SCOPED_TRACE("source " + std::to_string(c.source));
        SIM_RegPoke(PORT_IRQBITS, 0);
        SIM_ClearWitness();
        EXPECT_EQ(FPGA_IrqWriteBit(c.source), c.result);
        EXPECT_EQ(SIM_RegWrites(PORT_IRQBITS), c.writes);
        EXPECT_EQ(SIM_AccessCount(), c.writes);
        if (c.writes == 1) {
            SimAccess a{};
            ASSERT_EQ(SIM_GetAccess(0, &a), 0);
            EXPECT_EQ(a.width, 0);
            EXPECT_EQ(a.value, c.value);
        }
    }
}

TEST_F(GpioTest, IrqEnableSetsOrClearsOnlyTheSourcesBit) {
    struct {
        int value;
        int source;
        uint8_t before;
        uint8_t after;
    } const cases[] = {
        {1, 2, 0x00, 0x01}, {0, 2, 0xFF, 0xFE}, {1, 3, 0x01, 0x03}, {0, 3, 0x03, 0x01},
        {1, 0, 0x00, 0x04}, {2, 0, 0x04, 0x00},  // only bit 0 of the value counts
        {3, 0, 0xF0, 0xF4}, {1, 1, 0x5A, 0x5A},  // no bit: written back unchanged
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("value " + std::to_string(c.value) + " source " + std::to_string(c.source));
        SIM_RegPoke(PORT_IRQENABLE, c.before);
        SIM_ClearWitness();
        EXPECT_EQ(FPGA_IrqEnable(c.value, c.source), 0);
        EXPECT_EQ(SIM_RegPeek(PORT_IRQENABLE), c.after);
        EXPECT_EQ(SIM_RegWrites(PORT_IRQENABLE), 1);
    }
}

}  // namespace
