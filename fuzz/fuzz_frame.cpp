// Frame codec under arbitrary input.
//
// The input is taken as a received body (up to 255 bytes, the range of the
// one-byte length). Checked on every input:
// - unstuffing reads and writes nothing outside the body's own bytes (the
//   body sits in a buffer of exactly its size, so ASan sees any overrun),
//   never lengthens it, and leaves a body above 128 bytes untouched;
// - the FCS check agrees with the byte-wise FCS rule, and the FCS may be
//   computed in any number of pieces;
// - a message with its own FCS appended passes the check, and with any one
//   bit flipped fails it;
// - stuffing never emits a flag byte, never writes past a 128-byte buffer,
//   and unstuff(stuff(x)) == x whenever the stuffed body fits; when it does
//   not fit, the buffer keeps x and the length says how long it would be.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "odu/frm.h"

namespace {

void Require(bool ok) {
    if (!ok) abort();
}

uint16_t FcsBytewise(const uint8_t* p, size_t n) {
    unsigned f = FRM_FCS_INIT;
    for (size_t i = 0; i < n; ++i) f = FRM_FcsTable[(f ^ p[i]) & 0xFFu] ^ (f >> 8);
    return static_cast<uint16_t>(f);
}

// A buffer of exactly n bytes (at least one, so that the pointer is valid).
std::unique_ptr<uint8_t[]> Exact(const uint8_t* data, size_t n) {
    std::unique_ptr<uint8_t[]> p(new uint8_t[n == 0 ? 1 : n]);
    if (n > 0) memcpy(p.get(), data, n);
    return p;
}

void CheckUnstuffAndFcs(const uint8_t* data, size_t size) {
    const uint8_t n = static_cast<uint8_t>(size);
    auto body = Exact(data, n);
    uint8_t len = n;
    FRM_Unstuff(body.get(), &len);
    if (n > FRM_MAX_BODY) {
        Require(len == n && memcmp(body.get(), data, n) == 0);
        return;
    }
    Require(len <= n);

    const int ok = FRM_CheckFcs(body.get(), len);
    Require(ok == (FcsBytewise(body.get(), len) == FRM_FCS_GOOD ? 1 : 0));

    // Any split of the bytes gives the same FCS.
    const unsigned cut = len == 0 ? 0 : data[0] % (len + 1u);
    const uint16_t head = FRM_FcsUpdate(FRM_FCS_INIT, body.get(), cut);
    Require(FRM_FcsUpdate(head, body.get() + cut, len - cut) ==
            FRM_FcsUpdate(FRM_FCS_INIT, body.get(), len));
    // Only the low 16 bits of the running value count.
    Require(FRM_FcsUpdate(0xABCD0000u | head, body.get() + cut, len - cut) ==
            FRM_FcsUpdate(head, body.get() + cut, len - cut));
}

void CheckFcsDetectsBitFlips(const uint8_t* data, size_t size) {
    // The message is at most 126 bytes so that it and its FCS fit a frame
    // buffer of 128 bytes.
    const size_t n = size > FRM_MAX_BODY - 2 ? FRM_MAX_BODY - 2 : size;
    uint8_t buf[FRM_MAX_BODY];
    if (n > 0) memcpy(buf, data, n);
    uint8_t len = static_cast<uint8_t>(n);
    FRM_AppendFcs(buf, &len);
    Require(len == n + 2);
    Require(FRM_CheckFcs(buf, len) == 1);

    const unsigned bit = size == 0 ? 0 : (data[size - 1] * 131u) % (len * 8u);
    buf[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    Require(FRM_CheckFcs(buf, len) == 0);
}

void CheckStuffRoundTrip(const uint8_t* data, size_t size) {
    const uint8_t n = static_cast<uint8_t>(size);
    unsigned escapes = 0;
    for (size_t i = 0; i < n; ++i) escapes += (data[i] == FRM_FLAG || data[i] == FRM_ESCAPE);

    // A 128-byte buffer as the link layer keeps; above 128 input bytes, a
    // buffer of the input's size.
    const size_t room = n > FRM_MAX_BODY ? n : FRM_MAX_BODY;
    std::unique_ptr<uint8_t[]> buf(new uint8_t[room]);
    memset(buf.get(), 0xA5, room);
    if (n > 0) memcpy(buf.get(), data, n);
    uint8_t len = n;
    FRM_Stuff(buf.get(), &len);

    if (n > FRM_MAX_BODY) {
        Require(len == n && memcmp(buf.get(), data, n) == 0);
        return;
    }
    const unsigned stuffed = n + escapes;
    if (stuffed > FRM_MAX_BODY) {
        // Not written back; the length reports the stuffed size and can
        // never read as a sendable body.
        Require(len > FRM_MAX_BODY);
        Require(len == (stuffed > 255 ? 255 : stuffed));
        Require(memcmp(buf.get(), data, n) == 0);
        return;
    }
    Require(len == stuffed);
    for (unsigned i = 0; i < len; ++i) Require(buf[i] != FRM_FLAG);

    // Unstuff from a buffer of exactly the stuffed size.
    auto wire = Exact(buf.get(), len);
    FRM_Unstuff(wire.get(), &len);
    Require(len == n);
    Require(n == 0 || memcmp(wire.get(), data, n) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 255) return -1;  // the length is one byte
    CheckUnstuffAndFcs(data, size);
    CheckFcsDetectsBitFlips(data, size);
    CheckStuffRoundTrip(data, size);
    return 0;
}
