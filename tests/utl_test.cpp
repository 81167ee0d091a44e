// Support utilities and terminal control: parsing, the ring buffer, the
// value table, counters, byte logs, escape sequences and the random number.
#include "rt/utl.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "rt/term.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(UtlParseDec, DecimalTextToInt) {
    const struct {
        const char* text;
        int value;
    } cases[] = {
        {"123", 123},
        {"-45.9", -45},  // fraction cut off toward zero
        {"-12.7", -12},
        {".5", 0},
        {"", 0},
        {"-", 0},
        {"0", 0},
        {"1a", 59},    // 1 x 10 + ('a' - 48)
        {"+5", 2515},  // '+' is not a sign: (43 - 48) mod 256 = 251
        {"2147483647", 2147483647},
        {"2147483648", INT32_MIN},  // wraps in 32 bits
        {"4294967297", 1},
        {"-2147483648", INT32_MIN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value, UTL_ParseDec(c.text)) << '"' << c.text << '"';
    }
}

TEST(UtlHexDigit, DigitsOfEitherCase) {
    const struct {
        char c;
        int value;
    } cases[] = {
        {'0', 0},  {'9', 9},   {'a', 10}, {'f', 15},    {'A', 10},    {'F', 15},
        {'g', -1}, {'G', -1},  {'/', -1}, {':', -1},    {'@', -1},    {'`', -1},
        {' ', -1}, {'\0', -1}, {'x', -1}, {'\xff', -1}, {'\xb0', -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value, UTL_HexDigit(c.c)) << "char " << static_cast<int>(c.c);
    }
}

TEST(UtlParseHex, TextToValueStopsAtFirstBadCharacter) {
    const std::string bad = "\tnot a hex number !";
    const struct {
        const char* text;
        uint32_t value;
        std::string out;
    } cases[] = {
        {"ff", 255, ""},
        {"1g2", 1, bad},
        {"0x1F", 0, bad},  // no prefix: stops at the 'x'
        {"", 0, ""},
        {"DeadBeef", 0xDEADBEEFu, ""},
        {"FFFFFFFF", 0xFFFFFFFFu, ""},
        {"123456789", 0x23456789u, ""},  // wraps in 32 bits
        {"12 ", 0x12u, bad},
    };
    for (const auto& c : cases) {
        CaptureStdout();
        const uint32_t value = UTL_ParseHex(c.text);
        EXPECT_EQ(c.out, GetCapturedStdout()) << '"' << c.text << '"';
        EXPECT_EQ(c.value, value) << '"' << c.text << '"';
    }
}

TEST(UtlSwap16, ExchangesTheTwoBytes) {
    const uint8_t src[2] = {0x12, 0x34};
    uint8_t dst[2] = {0, 0};
    UTL_Swap16(src, dst);
    EXPECT_EQ(0x34, dst[0]);
    EXPECT_EQ(0x12, dst[1]);
    // In place.
    UTL_Swap16(dst, dst);
    EXPECT_EQ(0x12, dst[0]);
    EXPECT_EQ(0x34, dst[1]);
}

class UtlRingTest : public testing::Test {
   protected:
    void SetUp() override {
        ring_ = std::make_unique<UtlRing>();
        // Garbage indices and count must not survive a clear.
        ring_->writeIndex = 77;
        ring_->readIndex = 5;
        ring_->count = -3;
        EXPECT_EQ(0, UTL_RingClear(ring_.get()));
    }
    std::unique_ptr<UtlRing> ring_;
};

TEST_F(UtlRingTest, EmptyGetLeavesDestination) {
    uint8_t b = 0xA5;
    EXPECT_EQ(0, UTL_RingGet(ring_.get(), &b));
    EXPECT_EQ(0xA5, b);
    EXPECT_EQ(0, ring_->count);
}

TEST_F(UtlRingTest, FullRingDropsFurtherBytesAndKeepsOrder) {
    for (int i = 0; i < UTL_RING_SIZE; ++i) {
        ASSERT_EQ(0, UTL_RingPut(ring_.get(), static_cast<uint8_t>(i * 7)));
    }
    EXPECT_EQ(UTL_RING_SIZE, ring_->count);
    EXPECT_EQ(0, UTL_RingPut(ring_.get(), 0xEE));  // dropped, still 0
    EXPECT_EQ(UTL_RING_SIZE, ring_->count);
    for (int i = 0; i < UTL_RING_SIZE; ++i) {
        uint8_t b = 0;
        ASSERT_EQ(1, UTL_RingGet(ring_.get(), &b));
        ASSERT_EQ(static_cast<uint8_t>(i * 7), b) << "byte " << i;
    }
    uint8_t b = 0x11;
    EXPECT_EQ(0, UTL_RingGet(ring_.get(), &b));
    EXPECT_EQ(0x11, b);
}

TEST_F(UtlRingTest, IndicesWrapToZero) {
    uint8_t b = 0;
    for (int i = 0; i < UTL_RING_SIZE - 3; ++i) {
        UTL_RingPut(ring_.get(), 0);
        UTL_RingGet(ring_.get(), &b);
    }
    for (int i = 0; i < 10; ++i) UTL_RingPut(ring_.get(), static_cast<uint8_t>(100 + i));
    EXPECT_EQ(7, ring_->writeIndex);
    EXPECT_EQ(10, ring_->count);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(1, UTL_RingGet(ring_.get(), &b));
        EXPECT_EQ(100 + i, b);
    }
    EXPECT_EQ(7, ring_->readIndex);
    EXPECT_EQ(0, ring_->count);
}

TEST(UtlValueSlot, SetReadAndRangeCheck) {
    EXPECT_EQ(42, UTL_ValueSlot(UTL_VALUE_SET, 7, 42));
    EXPECT_EQ(42, UTL_ValueSlot(0, 7, 99));  // read: the value argument is ignored
    EXPECT_EQ(42, UTL_ValueSlot(5, 7, 0));
    EXPECT_EQ(-5, UTL_ValueSlot(UTL_VALUE_SET, 0, -5));
    for (int index : {8, -1, 1000}) {
        EXPECT_EQ(-1, UTL_ValueSlot(UTL_VALUE_SET, index, 13)) << index;
        EXPECT_EQ(-1, UTL_ValueSlot(0, index, 0)) << index;
    }
    EXPECT_EQ(-5, UTL_ValueSlot(0, 0, 0));
    EXPECT_EQ(42, UTL_ValueSlot(0, 7, 0));
    EXPECT_EQ(0, UTL_ValueSlot(0, 3, 0));
}

TEST(UtlLimitCount, ReportsCallsBeyondTheLimit) {
    EXPECT_EQ(0, UTL_LimitCount(UTL_LIMIT_SET, 3));
    const int expected[] = {0, 0, 0, 1, 1};
    for (int want : expected) EXPECT_EQ(want, UTL_LimitCount(1, 100));  // limit ignored here
    // Setting again restarts the count.
    EXPECT_EQ(0, UTL_LimitCount(UTL_LIMIT_SET, 0));
    EXPECT_EQ(1, UTL_LimitCount(7, 0));
}

TEST(UtlCounters, ReturnTheValueBefore) {
    int c = 55;
    EXPECT_EQ(0, UTL_CntReset(&c));
    EXPECT_EQ(0, c);
    EXPECT_EQ(0, UTL_CntInc(&c));
    EXPECT_EQ(1, UTL_CntInc(&c));
    EXPECT_EQ(2, UTL_CntDec(&c));
    EXPECT_EQ(1, UTL_CntGet(&c));
    EXPECT_EQ(1, c);
}

struct ByteLog {
    const char* name;
    int (*log)(int, uint8_t);
    const char* heading;
};

// The two logs behave alike, each with its own bytes and heading.
constexpr ByteLog kLogs[] = {
    {"tx", UTL_TxLog, "txbytes: "},
    {"rx", UTL_RxLog, "recbytes: "},
};

std::string Print(const ByteLog& log) {
    CaptureStdout();
    EXPECT_EQ(0, log.log(UTL_LOG_PRINT, 0));
    return GetCapturedStdout();
}

TEST(UtlByteLog, AppendPrintReset) {
    for (const ByteLog& log : kLogs) {
        SCOPED_TRACE(log.name);
        const std::string heading = log.heading;
        EXPECT_EQ(heading + "\n", Print(log));
        EXPECT_EQ(0, log.log(UTL_LOG_APPEND, 0x01));
        EXPECT_EQ(0, log.log(UTL_LOG_APPEND, 0xAB));
        EXPECT_EQ(0, log.log(UTL_LOG_APPEND, 0xFF));
        EXPECT_EQ(heading + "01 ab ff \n", Print(log));
        EXPECT_EQ(0, log.log(9, 0x55));  // unknown operation: nothing happens
        EXPECT_EQ(3, log.log(UTL_LOG_RESET, 0));
        EXPECT_EQ(heading + "\n", Print(log));
        EXPECT_EQ(0, log.log(UTL_LOG_RESET, 0));
    }
}

TEST(UtlByteLog, LogsAreSeparate) {
    EXPECT_EQ(0, UTL_TxLog(UTL_LOG_APPEND, 0x10));
    EXPECT_EQ(0, UTL_RxLog(UTL_LOG_RESET, 0));
    EXPECT_EQ(1, UTL_TxLog(UTL_LOG_RESET, 0));
}

TEST(UtlByteLog, FullLogIgnoresAppendsButCanBePrintedAndReset) {
    for (const ByteLog& log : kLogs) {
        SCOPED_TRACE(log.name);
        const std::string heading = log.heading;
        std::string bytes;
        for (int i = 0; i < UTL_LOG_MAX; ++i) {
            ASSERT_EQ(0, log.log(UTL_LOG_APPEND, static_cast<uint8_t>(i)));
            char hex[4];
            snprintf(hex, sizeof hex, "%02x ", i & 0xFF);
            bytes += hex;
        }
        EXPECT_EQ(UTL_LOG_MAX, log.log(UTL_LOG_APPEND, 0x77));
        EXPECT_EQ(heading + bytes + "\n", Print(log));
        EXPECT_EQ(UTL_LOG_MAX, log.log(UTL_LOG_RESET, 0));
        // Emptied: appending works again.
        EXPECT_EQ(0, log.log(UTL_LOG_APPEND, 0x42));
        EXPECT_EQ(heading + "42 \n", Print(log));
    }
}

TEST(UtlRand10, StaysWithinOneToTen) {
    srand(12345);
    bool seen[11] = {};
    for (int i = 0; i < 2000; ++i) {
        const int r = UTL_Rand10();
        ASSERT_GE(r, 1);
        ASSERT_LE(r, 10);
        seen[r] = true;
    }
    EXPECT_TRUE(seen[1]);
    EXPECT_TRUE(seen[10]);
}

std::string Esc(const std::string& rest) {
    return "\x1b" + rest;
}

TEST(TermOutput, CursorAndClearSequences) {
    const struct {
        int row, column;
        std::string out;
    } cases[] = {
        {5, 10, Esc("[5;10H")},       {0, 0, Esc("[0;0H")},
        {255, 255, Esc("[255;255H")},  // the longest sequence
        {256, -1, Esc("[0;255H")},     // each taken modulo 256
        {300, 511, Esc("[44;255H")},
    };
    for (const auto& c : cases) {
        CaptureStdout();
        TERM_GotoXY(c.row, c.column);
        EXPECT_EQ(c.out, GetCapturedStdout()) << c.row << "," << c.column;
    }
    CaptureStdout();
    TERM_Clear();
    EXPECT_EQ(Esc("[2J"), GetCapturedStdout());
}

TEST(TermOutput, ColorNamesAreExactAndCaseSensitive) {
    const struct {
        const char* name;
        std::string out;
    } cases[] = {
        {"BLACK", Esc("[0;m")},
        {"RED", Esc("[1;m")},
        {"GREEN", Esc("[2;m")},
        {"YELLOW", Esc("[3;m")},
        {"BLUE", Esc("[4;m")},
        {"MAGENTA", Esc("[5;m")},
        {"CYAN", Esc("[6;m")},
        {"WHITE", Esc("[7;m")},
        {"red", ""},
        {"Red", ""},
        {"REDX", ""},
        {"RE", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        CaptureStdout();
        TERM_Color(c.name);
        EXPECT_EQ(c.out, GetCapturedStdout()) << '"' << c.name << '"';
    }
}

}  // namespace
