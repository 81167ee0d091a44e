// Frame codec: FCS-16 (the HDLC/PPP frame check sequence, CRC-16/X-25) and
// the byte stuffing that keeps the flag out of a frame body.
#pragma once

#include <cstdint>

constexpr uint8_t FRM_FLAG = 0x7E;
constexpr uint8_t FRM_ESCAPE = 0x7D;
constexpr int FRM_MAX_BODY = 128;
constexpr uint16_t FRM_FCS_INIT = 0xFFFF;
constexpr uint16_t FRM_FCS_GOOD = 0xF0B8;

extern const uint16_t FRM_FcsTable[256];

uint16_t FRM_FcsUpdate(unsigned fcs, const uint8_t* bytes, unsigned count);
void FRM_AppendFcs(uint8_t* buf, uint8_t* len);
int FRM_CheckFcs(const uint8_t* buf, uint8_t len);
// Escapes 0x7E and 0x7D in place. Input above FRM_MAX_BODY: nothing
// happens. A stuffed body above FRM_MAX_BODY is not written back: the
// buffer keeps the input and *len reports the stuffed length (at most 255),
// so the caller must not send it.
void FRM_Stuff(uint8_t* buf, uint8_t* len);
// Undoes the escaping in place. Input above FRM_MAX_BODY: nothing happens.
// An escape byte that ends the input is dropped; nothing beyond the input
// is read.
void FRM_Unstuff(uint8_t* buf, uint8_t* len);
