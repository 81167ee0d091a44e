// Frame codec: FCS-16 against outside references, and byte stuffing.
#include "odu/frm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Bit-at-a-time CRC-16/X-25 register update, written independently of the
// table-driven code.
uint16_t BitwiseFcs(uint16_t fcs, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        fcs ^= p[i];
        for (int bit = 0; bit < 8; ++bit) fcs = (fcs & 1) ? (fcs >> 1) ^ 0x8408 : fcs >> 1;
    }
    return fcs;
}

const uint8_t kCheckInput[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

// ---------------------------------------------------------------- FCS-16

TEST(FrmFcs, TableEqualsBitwiseRemaindersAndPublishedEntries) {
    for (unsigned i = 0; i < 256; ++i) {
        const uint8_t b = static_cast<uint8_t>(i);
        EXPECT_EQ(FRM_FcsTable[i], BitwiseFcs(0, &b, 1)) << "entry " << i;
    }
    const struct {
        unsigned index;
        uint16_t value;
    } published[] = {{0, 0x0000}, {1, 0x1189},   {2, 0x2312},
                     {3, 0x329B}, {128, 0x8408}, {255, 0x0F78}};
    for (const auto& p : published) EXPECT_EQ(FRM_FcsTable[p.index], p.value) << p.index;
}

TEST(FrmFcs, MatchesCrc16X25CheckValueAndResidue) {
    const uint16_t fcs = FRM_FcsUpdate(FRM_FCS_INIT, kCheckInput, sizeof kCheckInput);
    EXPECT_EQ(static_cast<uint16_t>(~fcs), 0x906E);

    uint8_t buf[16];
    std::memcpy(buf, kCheckInput, sizeof kCheckInput);
    uint8_t len = sizeof kCheckInput;
    FRM_AppendFcs(buf, &len);
    EXPECT_EQ(FRM_FcsUpdate(FRM_FCS_INIT, buf, len), 0xF0B8);
    EXPECT_EQ(FRM_CheckFcs(buf, len), 1);
}

TEST(FrmFcs, UpdateUsesLow16BitsAndChainsAcrossCalls) {
    EXPECT_EQ(FRM_FcsUpdate(0x1234ABCDu, kCheckInput, 0), 0xABCD);
    EXPECT_EQ(FRM_FcsUpdate(0x0001FFFFu, kCheckInput, sizeof kCheckInput),
              FRM_FcsUpdate(0xFFFF, kCheckInput, sizeof kCheckInput));
    const uint16_t part = FRM_FcsUpdate(FRM_FCS_INIT, kCheckInput, 4);
    EXPECT_EQ(FRM_FcsUpdate(part, kCheckInput + 4, 5),
              FRM_FcsUpdate(FRM_FCS_INIT, kCheckInput, sizeof kCheckInput));
}

// Agrees with the bit-at-a-time register for every length (odd and even),
// start value and byte value.
TEST(FrmFcs, UpdateEqualsBitwiseComputation) {
    std::mt19937 rng(4711);
    uint8_t buf[300];
    for (auto& b : buf) b = static_cast<uint8_t>(rng());
    for (unsigned n = 0; n <= sizeof buf; ++n) {
        const uint16_t start = static_cast<uint16_t>(rng());
        ASSERT_EQ(FRM_FcsUpdate(start, buf, n), BitwiseFcs(start, buf, n)) << "n=" << n;
        ASSERT_EQ(FRM_FcsUpdate(FRM_FCS_INIT, buf + 1, n - (n > 0)),
                  BitwiseFcs(0xFFFF, buf + 1, n - (n > 0)));
    }
}

TEST(FrmFcs, AppendGivesWorkedExampleAndEmptyMessage) {
    uint8_t buf[8] = {0x02, 0x02, 0x01, 0xAA, 0xAA, 0xAA};
    uint8_t len = 3;
    EXPECT_EQ(FRM_FcsUpdate(FRM_FCS_INIT, buf, 3), 0xAEB2);
    FRM_AppendFcs(buf, &len);
    ASSERT_EQ(len, 5);
    EXPECT_EQ(Bytes(buf, buf + 6), (Bytes{0x02, 0x02, 0x01, 0x4D, 0x51, 0xAA}));
    EXPECT_EQ(FRM_FcsUpdate(FRM_FCS_INIT, buf, len), FRM_FCS_GOOD);

    uint8_t empty[2] = {0xAA, 0xAA};
    len = 0;
    FRM_AppendFcs(empty, &len);
    EXPECT_EQ(len, 2);
    EXPECT_EQ(empty[0], 0x00);
    EXPECT_EQ(empty[1], 0x00);
    EXPECT_EQ(FRM_CheckFcs(empty, len), 1);
}

TEST(FrmFcs, EverySingleBitFlipFailsTheCheck) {
    const Bytes messages[] = {
        {0x02, 0x02, 0x01},
        Bytes(kCheckInput, kCheckInput + sizeof kCheckInput),
        {0x01, 0x02, 0x00, 0x0A, 0x7E, 0x7D, 0x00, 0x00, 0xFF, 0xFF, 0x12, 0x34},
    };
    for (const Bytes& m : messages) {
        uint8_t buf[32];
        std::memcpy(buf, m.data(), m.size());
        uint8_t len = static_cast<uint8_t>(m.size());
        FRM_AppendFcs(buf, &len);
        ASSERT_EQ(FRM_CheckFcs(buf, len), 1);
        for (unsigned bit = 0; bit < len * 8u; ++bit) {
            buf[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            EXPECT_EQ(FRM_CheckFcs(buf, len), 0) << "bit " << bit << " of " << m.size();
            buf[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        }
    }
}

// -------------------------------------------------------------- stuffing

constexpr uint8_t kCanary = 0xA5;

struct StuffCase {
    const char* name;
    Bytes in;
    Bytes out;       // expected buffer content; empty with keepInput
    bool keepInput;  // buffer must still hold the input
    unsigned len;    // expected length byte
};

Bytes Fill(size_t n, uint8_t b) {
    return Bytes(n, b);
}

Bytes Plain(size_t n) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 % 0x7C);  // no 7D/7E
    return v;
}

// Runs the operation on a 256-byte buffer whose bytes past the input carry
// a canary, and checks the result, the length and that nothing past the
// larger of the input and the 128-byte body was written.
void RunCase(void (*op)(uint8_t*, uint8_t*), const StuffCase& c) {
    SCOPED_TRACE(c.name);
    uint8_t buf[256];
    std::memset(buf, kCanary, sizeof buf);
    if (!c.in.empty()) std::memcpy(buf, c.in.data(), c.in.size());
    uint8_t len = static_cast<uint8_t>(c.in.size());
    op(buf, &len);
    EXPECT_EQ(len, c.len);
    const Bytes& want = c.keepInput ? c.in : c.out;
    EXPECT_EQ(Bytes(buf, buf + want.size()), want);
    const size_t limit = c.in.size() > 128 ? c.in.size() : 128;
    for (size_t i = limit; i < sizeof buf; ++i) ASSERT_EQ(buf[i], kCanary) << "written at " << i;
}

TEST(FrmStuff, Cases) {
    Bytes all;
    for (unsigned i = 0; i < 256; ++i)
        if (i != 0x7D && i != 0x7E) all.push_back(static_cast<uint8_t>(i));
    all.resize(128);
    Bytes stuffed64;
    for (int i = 0; i < 64; ++i) stuffed64.insert(stuffed64.end(), {0x7D, 0x5E});

    const StuffCase cases[] = {
        {"flag escape plain", {0x7E, 0x7D, 0x20}, {0x7D, 0x5E, 0x7D, 0x5D, 0x20}, false, 5},
        {"worked example needs nothing",
         {0x02, 0x02, 0x01, 0x4D, 0x51},
         {0x02, 0x02, 0x01, 0x4D, 0x51},
         false,
         5},
        {"control bytes and FF pass",
         {0x00, 0x11, 0x13, 0x1F, 0xFF, 0x5E, 0x5D},
         {0x00, 0x11, 0x13, 0x1F, 0xFF, 0x5E, 0x5D},
         false,
         7},
        {"other byte values pass", all, all, false, 128},
        {"empty", {}, {}, false, 0},
        {"64 flags fill 128", Fill(64, 0x7E), stuffed64, false, 128},
        {"65 flags need 130", Fill(65, 0x7E), {}, true, 130},
        {"128 plain", Plain(128), Plain(128), false, 128},
        {"129 refused", Plain(129), {}, true, 129},
        // 256 would wrap the one-byte length to 0 ("empty body").
        {"128 flags need 256", Fill(128, 0x7E), {}, true, 255},
    };
    for (const StuffCase& c : cases) RunCase(FRM_Stuff, c);
}

TEST(FrmUnstuff, Cases) {
    const StuffCase cases[] = {
        {"escaped flag and escape", {0x7D, 0x5E, 0x7D, 0x5D, 0x20}, {0x7E, 0x7D, 0x20}, false, 3},
        {"any byte may follow", {0x7D, 0x41, 0x7D, 0x20}, {0x61, 0x00}, false, 2},
        {"escape escapes escape", {0x7D, 0x7D}, {0x5D}, false, 1},
        {"empty", {}, {}, false, 0},
        {"128 plain", Plain(128), Plain(128), false, 128},
        {"129 refused", Fill(129, 0x7D), {}, true, 129},
        {"dangling escape dropped", {0x41, 0x42, 0x7D}, {0x41, 0x42}, false, 2},
        {"lone escape", {0x7D}, {}, false, 0},
    };
    for (const StuffCase& c : cases) RunCase(FRM_Unstuff, c);
}

TEST(FrmUnstuff, DanglingEscapeReadsNothingBeyondTheInput) {
    // Whatever follows the input in the caller's buffer, the result is
    // the same; an exact-size buffer lets the sanitizers see any overread.
    for (unsigned after : {0x00u, 0x5Eu, 0xFFu}) {
        std::vector<uint8_t> buf = {0x02, 0x7D, 0x5E, 0x7D, static_cast<uint8_t>(after)};
        uint8_t len = 4;
        FRM_Unstuff(buf.data(), &len);
        EXPECT_EQ(len, 2);
        EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 2), (Bytes{0x02, 0x7E}));
    }
    auto exact = std::make_unique<uint8_t[]>(128);
    std::memset(exact.get(), 0x41, 128);
    exact[127] = 0x7D;
    uint8_t len = 128;
    FRM_Unstuff(exact.get(), &len);
    EXPECT_EQ(len, 127);
}

// A message with its FCS survives stuffing and unstuffing and still passes
// the check, for all message lengths the link sends and byte mixes rich in
// flag and escape bytes.
TEST(FrmRoundTrip, AppendStuffUnstuffCheck) {
    std::mt19937 rng(12345);
    const uint8_t pick[] = {0x7E, 0x7D, 0x5E, 0x5D, 0x00, 0xFF, 0x20};
    for (unsigned n = 0; n <= 107; ++n) {
        for (int rep = 0; rep < 4; ++rep) {
            uint8_t buf[128];
            for (unsigned i = 0; i < n; ++i)
                buf[i] = rep % 2 ? pick[rng() % sizeof pick] : static_cast<uint8_t>(rng());
            const Bytes msg(buf, buf + n);
            uint8_t len = static_cast<uint8_t>(n);
            FRM_AppendFcs(buf, &len);
            const Bytes body(buf, buf + len);
            FRM_Stuff(buf, &len);
            if (len > FRM_MAX_BODY) continue;  // too long to send
            for (unsigned i = 0; i < len; ++i) ASSERT_NE(buf[i], FRM_FLAG);
            FRM_Unstuff(buf, &len);
            ASSERT_EQ(Bytes(buf, buf + len), body) << "n=" << n;
            EXPECT_EQ(FRM_CheckFcs(buf, len), 1);
            EXPECT_EQ(Bytes(buf, buf + n), msg);
        }
    }
}

}  // namespace
