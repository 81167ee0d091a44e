// Frame codec: FCS-16 (CRC-16/X-25 as used by HDLC and PPP) and byte
// stuffing of frame bodies.
#include "odu/frm.h"

namespace {

constexpr uint16_t kFcsPoly = 0x8408;  // x^16 + x^12 + x^5 + 1, bit-reversed
constexpr uint8_t kEscapeXor = 0x20;

// Remainder of one byte value under the reflected generator, shifting right.
constexpr uint16_t FcsEntry(unsigned byte) {
    unsigned v = byte;
    for (int bit = 0; bit < 8; ++bit) v = (v & 1u) ? (v >> 1) ^ kFcsPoly : v >> 1;
    return static_cast<uint16_t>(v);
}

// Remainder of a byte value followed by a zero byte: lets the update take
// two bytes per step with one lookup per byte, since the remainder is linear
// in the register contents.
constexpr uint16_t FcsEntryPair(unsigned byte) {
    const unsigned t = FcsEntry(byte);
    return static_cast<uint16_t>(FcsEntry(t & 0xFFu) ^ (t >> 8));
}

}  // namespace

// Spells out entry(0) .. entry(255) as an initializer list.
#define FRM_FCS_E2(f, i) f(i), f((i) + 1)
#define FRM_FCS_E4(f, i) FRM_FCS_E2(f, i), FRM_FCS_E2(f, (i) + 2)
#define FRM_FCS_E8(f, i) FRM_FCS_E4(f, i), FRM_FCS_E4(f, (i) + 4)
#define FRM_FCS_E16(f, i) FRM_FCS_E8(f, i), FRM_FCS_E8(f, (i) + 8)
#define FRM_FCS_E32(f, i) FRM_FCS_E16(f, i), FRM_FCS_E16(f, (i) + 16)
#define FRM_FCS_E64(f, i) FRM_FCS_E32(f, i), FRM_FCS_E32(f, (i) + 32)
#define FRM_FCS_E128(f, i) FRM_FCS_E64(f, i), FRM_FCS_E64(f, (i) + 64)
#define FRM_FCS_E256(f) FRM_FCS_E128(f, 0), FRM_FCS_E128(f, 128)

constexpr uint16_t FRM_FcsTable[256] = {FRM_FCS_E256(FcsEntry)};

namespace {
constexpr uint16_t kFcsPairTable[256] = {FRM_FCS_E256(FcsEntryPair)};
}  // namespace

#undef FRM_FCS_E2
#undef FRM_FCS_E4
#undef FRM_FCS_E8
#undef FRM_FCS_E16
#undef FRM_FCS_E32
#undef FRM_FCS_E64
#undef FRM_FCS_E128
#undef FRM_FCS_E256

static_assert(FRM_FcsTable[0] == 0x0000 && FRM_FcsTable[1] == 0x1189 && FRM_FcsTable[2] == 0x2312 &&
                  FRM_FcsTable[3] == 0x329B && FRM_FcsTable[255] == 0x0F78,
              "FCS table differs from the PPP/HDLC table");

// Same result as the byte-wise rule fcs = T[(fcs ^ b) & 0xFF] ^ (fcs >> 8),
// two bytes per step: both bytes are folded into the register at once and
// the register's two halves looked up independently, which halves the
// dependency chain of lookups.
uint16_t FRM_FcsUpdate(unsigned fcs, const uint8_t* bytes, unsigned count) {
    unsigned f = fcs & 0xFFFFu;
    unsigned i = 0;
    for (; count - i >= 2; i += 2) {
        f ^= bytes[i] | (static_cast<unsigned>(bytes[i + 1]) << 8);
        f = kFcsPairTable[f & 0xFFu] ^ FRM_FcsTable[f >> 8];
    }
    if (i < count) f = FRM_FcsTable[(f ^ bytes[i]) & 0xFFu] ^ (f >> 8);
    return static_cast<uint16_t>(f);
}

void FRM_AppendFcs(uint8_t* buf, uint8_t* len) {
    const unsigned n = *len;
    const uint16_t c = static_cast<uint16_t>(~FRM_FcsUpdate(FRM_FCS_INIT, buf, n));
    buf[n] = static_cast<uint8_t>(c & 0xFFu);
    buf[n + 1] = static_cast<uint8_t>(c >> 8);
    *len = static_cast<uint8_t>(n + 2);
}

int FRM_CheckFcs(const uint8_t* buf, uint8_t len) {
    return FRM_FcsUpdate(FRM_FCS_INIT, buf, len) == FRM_FCS_GOOD ? 1 : 0;
}

void FRM_Stuff(uint8_t* buf, uint8_t* len) {
    const unsigned n = *len;
    if (n > static_cast<unsigned>(FRM_MAX_BODY)) return;

    uint8_t scratch[2 * FRM_MAX_BODY];
    unsigned out = 0;
    for (unsigned i = 0; i < n; ++i) {
        const uint8_t b = buf[i];
        if (b == FRM_FLAG || b == FRM_ESCAPE) {
            scratch[out++] = FRM_ESCAPE;
            scratch[out++] = static_cast<uint8_t>(b ^ kEscapeXor);
        } else {
            scratch[out++] = b;
        }
    }

    if (out > static_cast<unsigned>(FRM_MAX_BODY)) {
        // Too long to send: the buffer keeps the unstuffed input and the
        // length says how long the stuffed body would be. A body of 256
        // bytes (128 escaped bytes) would wrap the one-byte length to 0,
        // which reads as an empty body, so the length stops at 255.
        *len = static_cast<uint8_t>(out > 255u ? 255u : out);
        return;
    }
    for (unsigned i = 0; i < out; ++i) buf[i] = scratch[i];
    *len = static_cast<uint8_t>(out);
}

void FRM_Unstuff(uint8_t* buf, uint8_t* len) {
    const unsigned n = *len;
    if (n > static_cast<unsigned>(FRM_MAX_BODY)) return;

    uint8_t scratch[FRM_MAX_BODY];
    unsigned out = 0;
    for (unsigned i = 0; i < n; ++i) {
        uint8_t b = buf[i];
        if (b == FRM_ESCAPE) {
            // An escape that ends the input has no partner byte: it is
            // dropped rather than paired with whatever follows the input,
            // and the FCS check then judges the frame.
            if (i + 1 >= n) break;
            b = static_cast<uint8_t>(buf[++i] ^ kEscapeXor);
        }
        scratch[out++] = b;
    }

    for (unsigned i = 0; i < out; ++i) buf[i] = scratch[i];
    *len = static_cast<uint8_t>(out);
}
