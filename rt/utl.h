// Support utilities: number parsing, a byte swap, a ring buffer, counters,
// debug byte logs, a register pulse and a random number.
//
// None of these takes a lock: the process-wide state (value table, limit
// counter, pulse counter, byte logs) and each UtlRing are safe only when the
// caller serialises its calls.
#pragma once

#include <cstdint>

constexpr int UTL_RING_SIZE = 8192;
constexpr int UTL_LOG_MAX = 501;
constexpr int UTL_VALUE_SLOTS = 8;
constexpr uint32_t UTL_PULSE_REG = 0x2000;

// Operations of UTL_TxLog and UTL_RxLog.
constexpr int UTL_LOG_RESET = 0;
constexpr int UTL_LOG_APPEND = 1;
constexpr int UTL_LOG_PRINT = 2;

// Operations of UTL_ValueSlot and UTL_LimitCount.
constexpr int UTL_VALUE_SET = 1;
constexpr int UTL_LIMIT_SET = 0;

// Caller-owned ring buffer of bytes.
struct UtlRing {
    uint8_t data[UTL_RING_SIZE];
    int32_t writeIndex;
    int32_t readIndex;
    int32_t count;
};

// Decimal text to int: an optional leading '-', digits up to the end or the
// first '.'; the fraction is cut off. Digits are not validated.
int UTL_ParseDec(const char* text);
// 0..15 for a hexadecimal digit of either case, else -1.
int UTL_HexDigit(char c);
// Hexadecimal text (no prefix) to a 32-bit value; stops at the first
// non-digit after printing "\tnot a hex number !".
uint32_t UTL_ParseHex(const char* text);
// dst[0] = src[1], dst[1] = src[0]; src and dst may be the same bytes.
void UTL_Swap16(const void* src, void* dst);

// Operation UTL_VALUE_SET stores value in slot index first; every operation
// returns the slot's value. -1 for an index outside 0..7.
int UTL_ValueSlot(int operation, int index, int value);

int UTL_RingClear(UtlRing* ring);
// Stores the byte, or drops it when the ring is full; returns 0 either way.
int UTL_RingPut(UtlRing* ring, uint8_t byte);
// 1 and the oldest byte in *dst, or 0 (dst untouched) when empty.
int UTL_RingGet(UtlRing* ring, uint8_t* dst);

// Operation UTL_LIMIT_SET clears the count and stores the limit (returns 0);
// any other operation counts once and returns 1 when the count is now above
// the limit, else 0.
int UTL_LimitCount(int operation, int limit);

int UTL_CntReset(int* counter);  // 0
int UTL_CntInc(int* counter);    // value before
int UTL_CntDec(int* counter);    // value before
int UTL_CntGet(int* counter);

// Advances an 8-bit pulse counter and writes it to register 0x2000.
int UTL_PulseReg();

// Byte logs of up to 501 bytes. Reset returns the count held and empties
// the log; append returns 0, or 501 when the log is full and the byte is
// ignored; print writes the heading and the bytes as "%02x " and returns 0.
int UTL_TxLog(int operation, uint8_t byte);
int UTL_RxLog(int operation, uint8_t byte);

// 1..10 from rand(); the generator is not seeded here.
int UTL_Rand10();
