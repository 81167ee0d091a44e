// Message codec (requests and answers) and the byte-order helpers it uses.
#include "odu/msg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hw/bo.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kCanary = 0xA5;

OduValue Blank() {
    OduValue v;
    std::memset(&v, 0xCC, sizeof v);
    return v;
}
OduValue Byte(uint8_t b) {
    OduValue v = Blank();
    v.payload.b[0] = b;
    v.kind = VK_BYTE;
    return v;
}
OduValue Word(int16_t w) {
    OduValue v = Blank();
    v.payload.w = w;
    v.kind = VK_WORD;
    return v;
}
OduValue Long(int32_t l) {
    OduValue v = Blank();
    v.payload.l = l;
    v.kind = VK_LONG;
    return v;
}
OduValue Pair(int32_t a, int32_t b) {
    OduValue v = Long(a);
    v.second = b;
    v.kind = VK_LONGPAIR;
    return v;
}
OduValue Text(const std::string& s) {
    OduValue v = Blank();
    std::memcpy(v.payload.b, s.c_str(), s.size() + 1);
    v.kind = VK_TEXT;
    return v;
}
OduValue OfKind(int32_t kind) {
    OduValue v = Word(0x1234);
    v.kind = kind;
    return v;
}

bool SameRecord(const OduValue& a, const OduValue& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// --------------------------------------------------------------- requests

struct BuildCase {
    const char* name;
    uint8_t type, command, sub;
    bool withValue;
    OduValue value;
    int status;
    Bytes request;
};

TEST(MsgBuild, Cases) {
    const BuildCase cases[] = {
        {"GET 2/7", MSG_GET, 2, 7, false, {}, ODU_OK, {0x02, 0x02, 0x07}},
        {"GET 8 ignores sub", MSG_GET, 8, 7, false, {}, ODU_OK, {0x02, 0x08}},
        {"GET 38/5", MSG_GET, 38, 5, false, {}, ODU_OK, {0x02, 0x26, 0x05}},
        {"GET 5/255", MSG_GET, 5, 255, false, {}, ODU_OK, {0x02, 0x05, 0xFF}},
        {"GET carries no value", MSG_GET, 2, 1, true, Long(0x11223344), ODU_OK, {0x02, 0x02, 0x01}},
        {"SET byte", MSG_SET, 2, 1, true, Byte(0x05), ODU_OK, {0x03, 0x02, 0x01, 0x05}},
        {"SET word -2", MSG_SET, 2, 7, true, Word(-2), ODU_OK, {0x03, 0x02, 0x07, 0xFE, 0xFF}},
        {"SET long",
         MSG_SET,
         2,
         34,
         true,
         Long(0x12345678),
         ODU_OK,
         {0x03, 0x02, 0x22, 0x78, 0x56, 0x34, 0x12}},
        {"SET pair 1/258",
         MSG_SET,
         2,
         10,
         true,
         Pair(1, 258),
         ODU_OK,
         {0x03, 0x02, 0x0A, 0x01, 0x00, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00}},
        {"SET pair negative",
         MSG_SET,
         2,
         10,
         true,
         Pair(-1, INT32_MIN),
         ODU_OK,
         {0x03, 0x02, 0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80}},
        {"SET text S5", MSG_SET, 3, 0, true, Text("S5"), ODU_OK, {0x03, 0x03, 0x53, 0x35}},
        {"SET empty text", MSG_SET, 3, 0, true, Text(""), ODU_OK, {0x03, 0x03}},
        {"SET triple 5/255", MSG_SET, 5, 255, true, OfKind(VK_TRIPLE), ODU_OK, {0x03, 0x05, 0xFF}},
        {"SET triple no sub", MSG_SET, 1, 0, true, OfKind(VK_TRIPLE), ODU_OK, {0x03, 0x01}},
        {"SET kind 5", MSG_SET, 2, 1, true, OfKind(5), ODU_OK, {0x03, 0x02, 0x01}},
        {"SET kind 99", MSG_SET, 2, 1, true, OfKind(99), ODU_OK, {0x03, 0x02, 0x01}},
        {"type 1", MSG_REPLY, 2, 7, false, {}, ODU_ERR_MSGTYPE, {}},
        {"type 4", 4, 2, 7, true, Byte(1), ODU_ERR_MSGTYPE, {}},
        {"type 0", 0, 2, 7, false, {}, ODU_ERR_MSGTYPE, {}},
    };
    for (const BuildCase& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t req[MSG_MAX_LEN];
        std::memset(req, kCanary, sizeof req);
        uint8_t len = 77;
        EXPECT_EQ(
            MSG_BuildRequest(c.type, c.command, c.sub, req, &len, c.withValue ? &c.value : nullptr),
            c.status);
        ASSERT_EQ(len, c.request.size());
        EXPECT_EQ(Bytes(req, req + len), c.request);
        for (size_t i = len; i < sizeof req; ++i) ASSERT_EQ(req[i], kCanary) << "written at " << i;
    }
}

// The request buffer is 128 bytes: a text that fills it exactly is built,
// one character more is refused without writing past it.
TEST(MsgBuild, TextSetFillsButNeverOverrunsTheBuffer) {
    const struct {
        uint8_t command;
        size_t chars;
        int status;
    } cases[] = {
        {3, 126, ODU_OK}, {3, 127, ODU_ERR_TOOLONG}, {2, 125, ODU_OK}, {2, 126, ODU_ERR_TOOLONG}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.command) << " " << c.chars);
        uint8_t req[2 * MSG_MAX_LEN];
        std::memset(req, kCanary, sizeof req);
        uint8_t len = 77;
        const OduValue v = Text(std::string(c.chars, 'x'));
        EXPECT_EQ(MSG_BuildRequest(MSG_SET, c.command, 39, req, &len, &v), c.status);
        if (c.status == ODU_OK) {
            EXPECT_EQ(len, 128);
            EXPECT_EQ(req[127], 'x');
        } else {
            EXPECT_EQ(len, 0);
        }
        for (size_t i = MSG_MAX_LEN; i < sizeof req; ++i) ASSERT_EQ(req[i], kCanary) << i;
    }
}

TEST(MsgPutValue, TextWithoutZeroByteAndValuesThatWouldOverrun) {
    // A payload with no zero byte is sent whole (128 bytes) and reading
    // stops at the end of the payload.
    OduValue full = Blank();
    std::memset(full.payload.b, 'y', sizeof full.payload.b);
    full.second = 0x41414141;
    full.kind = VK_TEXT;
    uint8_t buf[2 * MSG_MAX_LEN];
    std::memset(buf, kCanary, sizeof buf);
    uint8_t len = 0;
    MSG_PutValue(&full, buf, &len);
    EXPECT_EQ(len, 128);
    EXPECT_EQ(buf[127], 'y');
    EXPECT_EQ(buf[128], kCanary);

    // Appending at the end of a nearly full buffer writes nothing.
    std::memset(buf, kCanary, sizeof buf);
    len = 125;
    const OduValue l = Long(0x01020304);
    MSG_PutValue(&l, buf, &len);
    EXPECT_EQ(len, 125);
    for (size_t i = 0; i < sizeof buf; ++i) ASSERT_EQ(buf[i], kCanary) << i;
    len = 124;
    MSG_PutValue(&l, buf, &len);
    EXPECT_EQ(len, 128);
    EXPECT_EQ(Bytes(buf + 124, buf + 129), (Bytes{0x04, 0x03, 0x02, 0x01, kCanary}));
}

// ---------------------------------------------------------------- answers

// An answer as the link passes it: message, then two FCS bytes.
Bytes Answer(Bytes message) {
    message.push_back(0xEE);
    message.push_back(0xEE);
    return message;
}

int Decode(uint8_t command, uint8_t sub, const Bytes& answer, OduValue* v) {
    // Stale bytes behind the answer, as in a reused receive buffer.
    uint8_t buf[MSG_MAX_LEN];
    std::memset(buf, 0x5A, sizeof buf);
    if (!answer.empty()) std::memcpy(buf, answer.data(), answer.size());
    return MSG_DecodeResponse(command, sub, buf, static_cast<uint8_t>(answer.size()), v);
}

// Every supported (command, sub-command) with the position, width and kind
// of its value in the answer.
struct TableRow {
    uint8_t command, sub, at, width;
    int32_t kind;
};

const TableRow kTable[] = {
    {1, 0, 3, 2, VK_WORD},      {1, 77, 3, 2, VK_WORD},   {2, 1, 4, 1, VK_BYTE},
    {2, 4, 4, 1, VK_BYTE},      {2, 6, 4, 1, VK_BYTE},    {2, 7, 4, 2, VK_WORD},
    {2, 10, 4, 8, VK_LONGPAIR}, {2, 18, 4, 1, VK_BYTE},   {2, 19, 4, 1, VK_BYTE},
    {2, 31, 4, 1, VK_BYTE},     {2, 32, 4, 1, VK_BYTE},   {2, 33, 4, 1, VK_BYTE},
    {2, 34, 4, 4, VK_LONG},     {2, 35, 4, 2, VK_WORD},   {2, 37, 4, 2, VK_WORD},
    {2, 39, 4, 10, VK_TEXT},    {2, 41, 4, 4, VK_LONG},   {2, 45, 4, 4, VK_LONG},
    {2, 49, 4, 4, VK_LONG},     {2, 53, 4, 4, VK_LONG},   {2, 57, 4, 10, VK_TEXT},
    {2, 58, 4, 1, VK_BYTE},     {2, 59, 4, 1, VK_BYTE},   {2, 61, 4, 1, VK_BYTE},
    {5, 1, 4, 2, VK_WORD},      {5, 2, 4, 2, VK_WORD},    {5, 3, 4, 2, VK_WORD},
    {5, 255, 4, 6, VK_TRIPLE},  {7, 0, 3, 1, VK_BYTE},    {8, 0, 3, 21, VK_TEXT},
    {8, 9, 3, 21, VK_TEXT},     {32, 0, 3, 1, VK_BYTE},   {36, 0, 3, 1, VK_BYTE},
    {37, 0, 3, 1, VK_BYTE},     {38, 0, 4, 1, VK_BYTE},   {38, 5, 4, 1, VK_BYTE},
    {38, 7, 4, 1, VK_BYTE},     {38, 200, 4, 1, VK_BYTE},
};

int16_t Le16(const uint8_t* p) {
    return static_cast<int16_t>(p[0] + 256 * p[1]);
}
int32_t Le32(const uint8_t* p) {
    return static_cast<int32_t>(p[0] + 0x100u * p[1] + 0x10000u * p[2] + 0x1000000u * p[3]);
}

// Each row decodes the bytes at its position with its width and kind; an
// answer one byte too short for the value is refused and leaves the record
// as it was.
TEST(MsgDecode, EveryTableRowAtItsPositionAndWidth) {
    for (const TableRow& r : kTable) {
        SCOPED_TRACE(testing::Message() << int(r.command) << "/" << int(r.sub));
        Bytes msg = {MSG_REPLY, r.command, 0x00};
        if (r.at == 4) msg.push_back(0x99);  // the sub-command's place
        Bytes val;
        for (unsigned i = 0; i < r.width; ++i) val.push_back(static_cast<uint8_t>(0x81 + 0x13 * i));
        msg.insert(msg.end(), val.begin(), val.end());
        ASSERT_EQ(msg.size(), r.at + r.width);

        OduValue v = Blank();
        ASSERT_EQ(Decode(r.command, r.sub, Answer(msg), &v), ODU_OK);
        EXPECT_EQ(v.kind, r.kind);
        const uint8_t* p = val.data();
        switch (r.kind) {
            case VK_BYTE:
                EXPECT_EQ(v.payload.b[0], p[0]);
                EXPECT_EQ(v.payload.b[1], 0xCC);
                break;
            case VK_WORD:
                EXPECT_EQ(v.payload.w, Le16(p));
                break;
            case VK_LONG:
                EXPECT_EQ(v.payload.l, Le32(p));
                break;
            case VK_LONGPAIR:
                EXPECT_EQ(v.payload.l, Le32(p));
                EXPECT_EQ(v.second, Le32(p + 4));
                break;
            case VK_TRIPLE:
                EXPECT_EQ(v.payload.w, Le16(p));
                EXPECT_EQ(v.secondWord, Le16(p + 2));
                EXPECT_EQ(v.thirdWord, Le16(p + 4));
                break;
            case VK_TEXT:
                EXPECT_EQ(Bytes(v.payload.b, v.payload.b + r.width), val);
                EXPECT_EQ(v.payload.b[r.width], 0);
                EXPECT_EQ(v.payload.b[r.width + 1], 0xCC);
                break;
        }

        msg.pop_back();
        OduValue before = Blank();
        OduValue w = before;
        EXPECT_EQ(Decode(r.command, r.sub, Answer(msg), &w), ODU_ERR_SHORT);
        EXPECT_TRUE(SameRecord(w, before));
    }
}

// Known wire bytes to known numbers; a byte-order mistake changes every one.
TEST(MsgDecode, WireNumbersAreLittleEndian) {
    OduValue v = Blank();
    ASSERT_EQ(Decode(2, 7, Answer({1, 2, 0, 7, 0xFE, 0xFF}), &v), ODU_OK);
    EXPECT_EQ(v.payload.w, -2);

    ASSERT_EQ(Decode(2, 10, Answer({1, 2, 0, 10, 1, 0, 0, 0, 2, 1, 0, 0}), &v), ODU_OK);
    EXPECT_EQ(v.kind, VK_LONGPAIR);
    EXPECT_EQ(v.payload.l, 1);
    EXPECT_EQ(v.second, 258);

    ASSERT_EQ(Decode(2, 34, Answer({1, 2, 0, 34, 0x78, 0x56, 0x34, 0x12}), &v), ODU_OK);
    EXPECT_EQ(v.payload.l, 0x12345678);
    ASSERT_EQ(Decode(2, 53, Answer({1, 2, 0, 53, 0x00, 0x00, 0x00, 0x80}), &v), ODU_OK);
    EXPECT_EQ(v.payload.l, INT32_MIN);

    ASSERT_EQ(Decode(5, 255, Answer({1, 5, 0, 255, 1, 0, 0xFF, 0xFF, 0x00, 0x80}), &v), ODU_OK);
    EXPECT_EQ(v.kind, VK_TRIPLE);
    EXPECT_EQ(v.payload.w, 1);
    EXPECT_EQ(v.secondWord, -1);
    EXPECT_EQ(v.thirdWord, -32768);

    ASSERT_EQ(Decode(1, 0, Answer({1, 1, 0, 0x34, 0x12}), &v), ODU_OK);
    EXPECT_EQ(v.kind, VK_WORD);
    EXPECT_EQ(v.payload.w, 0x1234);
}

TEST(MsgDecode, TextBlockIsCopiedWholeWithZeroAfter) {
    OduValue v = Blank();
    ASSERT_EQ(Decode(2, 39, Answer({1, 2, 0, 39, 'A', 'B', 0, 0, 0, 0, 0, 0, 0, 0}), &v), ODU_OK);
    EXPECT_EQ(v.kind, VK_TEXT);
    EXPECT_STREQ(reinterpret_cast<const char*>(v.payload.b), "AB");
    EXPECT_EQ(Bytes(v.payload.b, v.payload.b + 12),
              (Bytes{'A', 'B', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xCC}));

    // Version block: bank number, then two 10-byte texts, zero bytes inside.
    Bytes block = {1, 'v', '1', '.', '0', 0, 0, 0, 0, 0, 0, 'v', '2', '.', '1', 0, 0, 0, 0, 0, 0};
    Bytes msg = {1, 8, 0};
    msg.insert(msg.end(), block.begin(), block.end());
    v = Blank();
    ASSERT_EQ(Decode(8, 0, Answer(msg), &v), ODU_OK);
    EXPECT_EQ(Bytes(v.payload.b, v.payload.b + 21), block);
    EXPECT_EQ(v.payload.b[21], 0);
}

struct FailCase {
    const char* name;
    uint8_t command, sub;
    Bytes answer;  // as passed, FCS bytes included
    int status;
};

// Checks run in order: length, status byte, table, then the value's end;
// a failure never changes the value record.
TEST(MsgDecode, RefusedAnswersLeaveTheValueAlone) {
    const FailCase cases[] = {
        {"empty", 2, 7, {}, ODU_ERR_SHORT},
        {"one byte", 2, 7, {1}, ODU_ERR_SHORT},
        {"two bytes, unknown command", 99, 0, {1, 99}, ODU_ERR_SHORT},
        {"refused", 2, 7, Answer({1, 2, 1, 7, 0xFE, 0xFF}), ODU_ERR_REJECTED},
        {"refused FF", 7, 0, Answer({1, 7, 0xFF, 1}), ODU_ERR_REJECTED},
        {"refused before table", 99, 0, {1, 99, 1}, ODU_ERR_REJECTED},
        {"refused before length of value", 2, 10, {1, 2, 1}, ODU_ERR_REJECTED},
        {"2/2", 2, 2, Answer({1, 2, 0, 2, 5}), ODU_ERR_UNSUPPORTED},
        {"2/8", 2, 8, Answer({1, 2, 0, 8, 5}), ODU_ERR_UNSUPPORTED},
        {"2/60", 2, 60, Answer({1, 2, 0, 60, 5}), ODU_ERR_UNSUPPORTED},
        {"5/0", 5, 0, Answer({1, 5, 0, 0, 5, 0}), ODU_ERR_UNSUPPORTED},
        {"5/4", 5, 4, Answer({1, 5, 0, 4, 5, 0}), ODU_ERR_UNSUPPORTED},
        {"command 4", 4, 0, Answer({1, 4, 0, 5}), ODU_ERR_UNSUPPORTED},
        {"command 0", 0, 0, Answer({1, 0, 0, 5}), ODU_ERR_UNSUPPORTED},
        {"command 255", 255, 0, Answer({1, 255, 0, 5}), ODU_ERR_UNSUPPORTED},
        {"unsupported before length of value", 2, 2, {1, 2, 0}, ODU_ERR_UNSUPPORTED},
        {"three bytes, byte value", 7, 0, {1, 7, 0}, ODU_ERR_SHORT},
        {"long in 4-byte message", 2, 34, Answer({1, 2, 0, 34}), ODU_ERR_SHORT},
        {"FCS counted as value", 2, 1, {1, 2, 0, 1, 0x4D}, ODU_ERR_SHORT},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.name);
        const OduValue before = Blank();
        OduValue v = before;
        EXPECT_EQ(Decode(c.command, c.sub, c.answer, &v), c.status);
        EXPECT_TRUE(SameRecord(v, before));
    }
}

TEST(MsgDecode, ControlTextAnswerHasNoValue) {
    EXPECT_EQ(Decode(3, 0, Answer({1, 3, 0}), nullptr), ODU_OK);
    EXPECT_EQ(Decode(3, 0, {1, 3, 0}, nullptr), ODU_OK);  // no value needed
    EXPECT_EQ(Decode(3, 0, Answer({1, 3, 2}), nullptr), ODU_ERR_REJECTED);
    const OduValue before = Blank();
    OduValue v = before;
    EXPECT_EQ(Decode(3, 0, Answer({1, 3, 0, 7, 7, 7, 7}), &v), ODU_OK);
    EXPECT_TRUE(SameRecord(v, before));
}

TEST(MsgCopyBlock, CopiesCountBytesAndTerminates) {
    const uint8_t src[] = {'a', 0, 'b', 'c'};
    uint8_t dst[6];
    std::memset(dst, kCanary, sizeof dst);
    MSG_CopyBlock(dst, src, 4);
    EXPECT_EQ(Bytes(dst, dst + 6), (Bytes{'a', 0, 'b', 'c', 0, kCanary}));
    MSG_CopyBlock(dst, src, 0);
    EXPECT_EQ(dst[0], 0);
    EXPECT_EQ(dst[1], 0);
}

// ------------------------------------------------------------ byte order

TEST(ByteOrder, LittleEndianReads) {
    const struct {
        uint8_t b[2];
        int16_t v;
    } w[] = {{{0x34, 0x12}, 0x1234},
             {{0xFE, 0xFF}, -2},
             {{0x00, 0x80}, INT16_MIN},
             {{0xFF, 0x7F}, 32767}};
    for (const auto& c : w) EXPECT_EQ(BO_GetLe16(c.b), c.v);

    const struct {
        uint8_t b[4];
        int32_t v;
    } l[] = {{{0x78, 0x56, 0x34, 0x12}, 0x12345678},
             {{0xFF, 0xFF, 0xFF, 0xFF}, -1},
             {{0x00, 0x00, 0x00, 0x80}, INT32_MIN},
             {{0x02, 0x01, 0x00, 0x00}, 258}};
    for (const auto& c : l) EXPECT_EQ(BO_GetLe32(c.b), c.v);
}

TEST(ByteOrder, LittleEndianWritesAndSwapWord) {
    uint8_t d[4] = {};
    BO_PutLe32(0x11223344u, &d[0], &d[1], &d[2], &d[3]);
    EXPECT_EQ(Bytes(d, d + 4), (Bytes{0x44, 0x33, 0x22, 0x11}));

    uint8_t lo = 0, hi = 0;
    EXPECT_EQ(BO_PutLe16(0x1234, &lo, &hi), 0x12);
    EXPECT_EQ(lo, 0x34);
    EXPECT_EQ(hi, 0x12);
    EXPECT_EQ(BO_PutLe16(0xFF80, &lo, &hi), 0xFF);

    // The word's bytes in memory are the value's, least significant first:
    // byte-reversed on a big-endian processor, unchanged on a little-endian
    // one. Swapping twice restores the value on either.
    uint32_t word = 0;
    BO_SwapWord(0x11223344u, &word);
    uint8_t mem[4];
    std::memcpy(mem, &word, 4);
    EXPECT_EQ(Bytes(mem, mem + 4), (Bytes{0x44, 0x33, 0x22, 0x11}));
    const uint32_t probe = 1;
    const bool bigEndian = *reinterpret_cast<const uint8_t*>(&probe) == 0;
    EXPECT_EQ(word, bigEndian ? 0x44332211u : 0x11223344u);
    uint32_t back = 0;
    BO_SwapWord(word, &back);
    EXPECT_EQ(back, 0x11223344u);
}

}  // namespace
