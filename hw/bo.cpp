// Byte-order helpers. Every multi-byte number is taken apart and put
// together byte by byte, so the results do not depend on the processor's
// byte order.
#include "hw/bo.h"

int16_t BO_GetLe16(const uint8_t* bytes) {
    const uint16_t u = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    return static_cast<int16_t>(u);
}

int32_t BO_GetLe32(const uint8_t* bytes) {
    const uint32_t u = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                       (static_cast<uint32_t>(bytes[2]) << 16) |
                       (static_cast<uint32_t>(bytes[3]) << 24);
    return static_cast<int32_t>(u);
}

void BO_PutLe32(uint32_t value, uint8_t* d1, uint8_t* d2, uint8_t* d3, uint8_t* d4) {
    *d4 = static_cast<uint8_t>(value >> 24);
    *d3 = static_cast<uint8_t>(value >> 16);
    *d2 = static_cast<uint8_t>(value >> 8);
    *d1 = static_cast<uint8_t>(value);
}

// Stores the value least significant byte first into the four bytes of the
// word: on a big-endian processor the word then reads byte-reversed, on a
// little-endian one it reads unchanged.
void BO_SwapWord(uint32_t value, uint32_t* word) {
    uint8_t* b = reinterpret_cast<uint8_t*>(word);
    BO_PutLe32(value, &b[0], &b[1], &b[2], &b[3]);
}

int BO_PutLe16(uint16_t value, uint8_t* lo, uint8_t* hi) {
    *lo = static_cast<uint8_t>(value);
    *hi = static_cast<uint8_t>(value >> 8);
    return value >> 8;
}
