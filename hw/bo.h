// Byte-order helpers. ODU wire numbers are little-endian; the board's
// 32-bit bit-handled registers travel byte-reversed through the driver.
// Everything is assembled byte by byte, so the code is right on either
// processor byte order.
#pragma once

#include <cstdint>

int16_t BO_GetLe16(const uint8_t* bytes);
int32_t BO_GetLe32(const uint8_t* bytes);
void BO_PutLe32(uint32_t value, uint8_t* d1, uint8_t* d2, uint8_t* d3, uint8_t* d4);
void BO_SwapWord(uint32_t value, uint32_t* word);
int BO_PutLe16(uint16_t value, uint8_t* lo, uint8_t* hi);
