// Support utilities.
#include "rt/utl.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "hw/reg.h"

namespace {

int g_values[UTL_VALUE_SLOTS];

int g_limitCount;
int g_limit;

uint8_t g_pulse;

struct ByteLog {
    uint8_t bytes[UTL_LOG_MAX];
    int count;
};

ByteLog g_txLog;
ByteLog g_rxLog;

int LogOp(ByteLog& log, const char* heading, int operation, uint8_t byte) {
    switch (operation) {
        case UTL_LOG_RESET: {
            // A full log is emptied too: that is what the reset is for.
            const int held = log.count;
            log.count = 0;
            return held;
        }
        case UTL_LOG_APPEND:
            if (log.count >= UTL_LOG_MAX) return UTL_LOG_MAX;
            log.bytes[log.count++] = byte;
            return 0;
        case UTL_LOG_PRINT:
            fputs(heading, stdout);
            for (int i = 0; i < log.count; ++i) printf("%02x ", log.bytes[i]);
            putchar('\n');
            return 0;
        default:
            return 0;
    }
}

}  // namespace

int UTL_ParseDec(const char* text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    // Unsigned arithmetic: the value wraps in 32 bits.
    uint32_t value = 0;
    for (; *p != '\0' && *p != '.'; ++p) {
        value += static_cast<uint8_t>(*p - 48);
        if (p[1] != '\0' && p[1] != '.') value *= 10u;
    }
    if (negative) value = 0u - value;
    return static_cast<int>(value);
}

int UTL_HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

uint32_t UTL_ParseHex(const char* text) {
    uint32_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        const int digit = UTL_HexDigit(*p);
        if (digit == -1) {
            fputs("\tnot a hex number !", stdout);
            break;
        }
        value = value * 16u + static_cast<uint32_t>(digit);
    }
    return value;
}

void UTL_Swap16(const void* src, void* dst) {
    const uint8_t* s = static_cast<const uint8_t*>(src);
    uint8_t* d = static_cast<uint8_t*>(dst);
    const uint8_t b0 = s[0];
    const uint8_t b1 = s[1];
    d[0] = b1;
    d[1] = b0;
}

int UTL_ValueSlot(int operation, int index, int value) {
    if (index < 0 || index >= UTL_VALUE_SLOTS) return -1;
    if (operation == UTL_VALUE_SET) g_values[index] = value;
    return g_values[index];
}

int UTL_RingClear(UtlRing* ring) {
    ring->writeIndex = 0;
    ring->readIndex = 0;
    ring->count = 0;
    return 0;
}

int UTL_RingPut(UtlRing* ring, uint8_t byte) {
    if (ring->count >= UTL_RING_SIZE) return 0;
    ring->data[ring->writeIndex] = byte;
    if (++ring->writeIndex >= UTL_RING_SIZE) ring->writeIndex = 0;
    ++ring->count;
    return 0;
}

int UTL_RingGet(UtlRing* ring, uint8_t* dst) {
    if (ring->count <= 0) return 0;
    *dst = ring->data[ring->readIndex];
    if (++ring->readIndex >= UTL_RING_SIZE) ring->readIndex = 0;
    --ring->count;
    return 1;
}

int UTL_LimitCount(int operation, int limit) {
    if (operation == UTL_LIMIT_SET) {
        g_limitCount = 0;
        g_limit = limit;
        return 0;
    }
    // Saturates instead of overflowing: once above the limit it stays so.
    if (g_limitCount < INT_MAX) ++g_limitCount;
    return g_limitCount > g_limit ? 1 : 0;
}

int UTL_CntReset(int* counter) {
    *counter = 0;
    return 0;
}

int UTL_CntInc(int* counter) {
    const int before = *counter;
    *counter = static_cast<int>(static_cast<uint32_t>(before) + 1u);
    return before;
}

int UTL_CntDec(int* counter) {
    const int before = *counter;
    *counter = static_cast<int>(static_cast<uint32_t>(before) - 1u);
    return before;
}

int UTL_CntGet(int* counter) {
    return *counter;
}

int UTL_PulseReg() {
    ++g_pulse;  // 8 bits: 255 wraps to 0
    return REG_Write(REG_WIDTH_8, UTL_PULSE_REG, g_pulse);
}

int UTL_TxLog(int operation, uint8_t byte) {
    return LogOp(g_txLog, "txbytes: ", operation, byte);
}

int UTL_RxLog(int operation, uint8_t byte) {
    return LogOp(g_rxLog, "recbytes: ", operation, byte);
}

int UTL_Rand10() {
    const double scaled = static_cast<double>(rand()) * (1.0 / 2147483648.0);
    return static_cast<int>(scaled * 10.0) + 1;
}
