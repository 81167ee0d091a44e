// Message codec under arbitrary input.
//
// Input layout: byte 0 picks the (command, sub-command) pair: below the size
// of the pair list it is one of the pairs the decoder knows, otherwise bytes
// 1 and 2 give an arbitrary pair. The rest (up to 128 bytes, the answer
// buffer) is the answer as the link layer hands it over, two FCS bytes
// included. The same bytes also drive a request build with an arbitrary
// value. Checked on every input:
// - decoding reads nothing outside the answer (it sits in a buffer of
//   exactly its size), yields only the decode statuses, fills the value only
//   on success, and takes it only from the message, never from the FCS bytes;
// - the decoded value is the one at the pair's place, of the pair's kind;
// - decoding with no value record is harmless for every pair;
// - building never writes past the 128-byte request buffer, refuses only
//   what it must, and a SET then decoded from the mirrored answer gives the
//   value back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "hw/bo.h"
#include "odu/msg.h"

namespace {

void Require(bool ok) {
    if (!ok) abort();
}

struct Pair {
    uint8_t command;
    uint8_t sub;
    uint8_t at;     // position of the value in the answer
    uint8_t width;  // 0: nothing decoded
    int32_t kind;
};

// The pairs the ODU is asked about, with where each answer holds its value.
constexpr Pair kPairs[] = {
    {1, 0, 3, 2, VK_WORD},     {2, 1, 4, 1, VK_BYTE},   {2, 4, 4, 1, VK_BYTE},
    {2, 6, 4, 1, VK_BYTE},     {2, 7, 4, 2, VK_WORD},   {2, 10, 4, 8, VK_LONGPAIR},
    {2, 18, 4, 1, VK_BYTE},    {2, 19, 4, 1, VK_BYTE},  {2, 31, 4, 1, VK_BYTE},
    {2, 32, 4, 1, VK_BYTE},    {2, 33, 4, 1, VK_BYTE},  {2, 34, 4, 4, VK_LONG},
    {2, 35, 4, 2, VK_WORD},    {2, 37, 4, 2, VK_WORD},  {2, 39, 4, 10, VK_TEXT},
    {2, 41, 4, 4, VK_LONG},    {2, 45, 4, 4, VK_LONG},  {2, 49, 4, 4, VK_LONG},
    {2, 53, 4, 4, VK_LONG},    {2, 57, 4, 10, VK_TEXT}, {2, 58, 4, 1, VK_BYTE},
    {2, 59, 4, 1, VK_BYTE},    {2, 61, 4, 1, VK_BYTE},  {3, 0, 0, 0, VK_BYTE},
    {5, 1, 4, 2, VK_WORD},     {5, 2, 4, 2, VK_WORD},   {5, 3, 4, 2, VK_WORD},
    {5, 255, 4, 6, VK_TRIPLE}, {7, 0, 3, 1, VK_BYTE},   {8, 0, 3, 21, VK_TEXT},
    {32, 0, 3, 1, VK_BYTE},    {36, 0, 3, 1, VK_BYTE},  {37, 0, 3, 1, VK_BYTE},
    {38, 5, 4, 1, VK_BYTE},    {38, 7, 4, 1, VK_BYTE},
};
constexpr size_t kPairCount = sizeof kPairs / sizeof kPairs[0];

// The known pair for (command, sub), or null. Commands without a
// sub-command byte, and command 38, take any sub-command.
const Pair* Known(uint8_t command, uint8_t sub) {
    for (const Pair& p : kPairs) {
        if (p.command != command) continue;
        if (p.sub == sub || !MSG_HasSub(command) || command == 38) return &p;
    }
    return nullptr;
}

void FillPattern(OduValue* v, uint8_t seed) {
    memset(v, seed, sizeof *v);
}

void CheckDecodedValue(const Pair& p, const uint8_t* answer, const OduValue& v,
                       const OduValue& before) {
    Require(v.kind == p.kind);
    const uint8_t* at = answer + p.at;
    switch (p.kind) {
        case VK_BYTE:
            Require(v.payload.b[0] == at[0]);
            break;
        case VK_WORD:
            Require(v.payload.w == BO_GetLe16(at));
            break;
        case VK_LONG:
            Require(v.payload.l == BO_GetLe32(at));
            break;
        case VK_LONGPAIR:
            Require(v.payload.l == BO_GetLe32(at) && v.second == BO_GetLe32(at + 4));
            break;
        case VK_TRIPLE:
            Require(v.payload.w == BO_GetLe16(at) && v.secondWord == BO_GetLe16(at + 2) &&
                    v.thirdWord == BO_GetLe16(at + 4));
            break;
        case VK_TEXT:
            // The whole block, zero bytes inside it included, then a zero;
            // the rest of the payload is not touched.
            Require(memcmp(v.payload.b, at, p.width) == 0 && v.payload.b[p.width] == 0);
            Require(memcmp(v.payload.b + p.width + 1, before.payload.b + p.width + 1,
                           sizeof v.payload.b - p.width - 1) == 0);
            break;
        default:
            Require(false);
    }
}

void CheckDecode(uint8_t command, uint8_t sub, const uint8_t* data, size_t size) {
    const uint8_t len = static_cast<uint8_t>(size);
    std::unique_ptr<uint8_t[]> answer(new uint8_t[size == 0 ? 1 : size]);
    if (size > 0) memcpy(answer.get(), data, size);

    OduValue before;
    FillPattern(&before, 0xC3);
    OduValue v = before;
    const int st = MSG_DecodeResponse(command, sub, answer.get(), len, &v);
    Require(st == ODU_OK || st == ODU_ERR_SHORT || st == ODU_ERR_REJECTED ||
            st == ODU_ERR_UNSUPPORTED);
    // Decoding never changes the answer.
    Require(size == 0 || memcmp(answer.get(), data, size) == 0);

    // The order of the checks: length, then status byte, then the pair.
    const Pair* p = Known(command, sub);
    if (len <= 2) {
        Require(st == ODU_ERR_SHORT);
    } else if (data[2] != 0) {
        Require(st == ODU_ERR_REJECTED);
    } else if (p == nullptr) {
        Require(st == ODU_ERR_UNSUPPORTED);
    } else {
        Require(st == ODU_OK || st == ODU_ERR_SHORT);
    }
    if (st != ODU_OK || p->width == 0) {
        Require(memcmp(&v, &before, sizeof v) == 0);
    } else {
        // The value lies inside the message, before the two FCS bytes.
        Require(p->at + p->width <= len - 2);
        CheckDecodedValue(*p, answer.get(), v, before);
    }

    // Without a value record: same status, nothing else happens.
    Require(MSG_DecodeResponse(command, sub, answer.get(), len, nullptr) == st);
}

// Builds a request from arbitrary fields into a buffer of exactly 128 bytes.
void CheckBuild(const uint8_t* data, size_t size) {
    if (size < 4) return;
    const uint8_t type = data[0] % 5;  // 0..4, GET and SET among them
    const uint8_t command = data[1];
    const uint8_t sub = data[2];
    OduValue value;
    FillPattern(&value, 0);
    value.kind = data[3] % 8;
    const size_t rest = size - 4;
    memcpy(value.payload.b, data + 4,
           rest < sizeof value.payload.b ? rest : sizeof value.payload.b);
    if (rest > sizeof value.payload.b) {
        value.second = BO_GetLe32(data + size - 4);
    }

    std::unique_ptr<uint8_t[]> req(new uint8_t[MSG_MAX_LEN]);
    uint8_t len = 0xEE;
    const int st = MSG_BuildRequest(type, command, sub, req.get(), &len, &value);
    if (type != MSG_GET && type != MSG_SET) {
        Require(st == ODU_ERR_MSGTYPE && len == 0);
        return;
    }
    const unsigned head = MSG_HasSub(command) ? 3 : 2;
    unsigned carried = 0;
    if (type == MSG_SET) {
        switch (value.kind) {
            case VK_BYTE:
                carried = 1;
                break;
            case VK_WORD:
                carried = 2;
                break;
            case VK_LONG:
                carried = 4;
                break;
            case VK_LONGPAIR:
                carried = 8;
                break;
            case VK_TEXT:
                carried = static_cast<unsigned>(strnlen(
                    reinterpret_cast<const char*>(value.payload.b), sizeof value.payload.b));
                break;
            default:
                break;
        }
    }
    if (head + carried > static_cast<unsigned>(MSG_MAX_LEN)) {
        Require(st == ODU_ERR_TOOLONG && len == 0);
        return;
    }
    Require(st == ODU_OK && len == head + carried);
    Require(req[0] == type && req[1] == command && (head == 2 || req[2] == sub));
    if (carried > 0 && value.kind == VK_TEXT) {
        Require(memcmp(req.get() + head, value.payload.b, carried) == 0);
    }

    // A SET of a known numeric pair, answered by mirroring it (reply, command,
    // status 0, the sub-command's place, the value, two FCS bytes) decodes to
    // the value written.
    const Pair* p = Known(command, sub);
    if (type != MSG_SET || p == nullptr || p->width == 0 || p->kind != value.kind ||
        p->kind == VK_TEXT || p->kind == VK_TRIPLE) {
        return;
    }
    uint8_t answer[MSG_MAX_LEN] = {};
    answer[0] = MSG_REPLY;
    answer[1] = command;
    answer[2] = 0;
    answer[3] = sub;
    memcpy(answer + p->at, req.get() + head, carried);
    OduValue back;
    FillPattern(&back, 0x5A);
    Require(MSG_DecodeResponse(command, sub, answer, static_cast<uint8_t>(p->at + carried + 2),
                               &back) == ODU_OK);
    switch (p->kind) {
        case VK_BYTE:
            Require(back.payload.b[0] == value.payload.b[0]);
            break;
        case VK_WORD:
            Require(back.payload.w == value.payload.w);
            break;
        case VK_LONG:
            Require(back.payload.l == value.payload.l);
            break;
        case VK_LONGPAIR:
            Require(back.payload.l == value.payload.l && back.second == value.second);
            break;
        default:
            break;
    }
}

// MSG_PutValue at any starting length never runs past the 128-byte buffer.
void CheckPutValue(const uint8_t* data, size_t size) {
    if (size < 2) return;
    OduValue value;
    FillPattern(&value, 0x41);
    value.kind = data[0] % 8;
    uint8_t start = data[1];
    std::unique_ptr<uint8_t[]> buf(new uint8_t[MSG_MAX_LEN]);
    memset(buf.get(), 0, MSG_MAX_LEN);
    uint8_t len = start;
    MSG_PutValue(&value, buf.get(), &len);
    Require(len >= start && len <= (start > MSG_MAX_LEN ? start : MSG_MAX_LEN));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint8_t command;
    uint8_t sub;
    size_t skip;
    if (data[0] < kPairCount) {
        command = kPairs[data[0]].command;
        sub = kPairs[data[0]].sub;
        skip = 1;
    } else {
        if (size < 3) return 0;
        command = data[1];
        sub = data[2];
        skip = 3;
    }
    const size_t n = size - skip > MSG_MAX_LEN ? MSG_MAX_LEN : size - skip;
    CheckDecode(command, sub, data + skip, n);
    CheckBuild(data + 1, size - 1);
    CheckPutValue(data + 1, size - 1);
    return 0;
}
