// ODU parameter operations: reads, verified and polled writes, control
// texts, the ODU reset and the upload of a text file.
#include "odu/odu.h"

#include <cstdio>
#include <cstring>

#include "odu/lnk.h"
#include "odu/msg.h"
#include "rt/lock.h"
#include "rt/tmr.h"

namespace {

constexpr int kReadBacks = 4;
constexpr int kReadBackPauseMs = 600;
constexpr int kPollPauseMs = 50;
constexpr int kLastPoll = 50;  // polls are counted from 0: 51 at most
constexpr int kTextMax = 127;  // characters an OduValue text holds
constexpr int kLineBuf = 128;  // upload line buffer, zero byte included
constexpr int kResetPauseMs = 20000;
constexpr int kUploadPauseMs = 10000;

OduValue oduEmpty() {
    OduValue v;
    memset(&v, 0, sizeof v);
    return v;
}

OduValue oduByte(uint8_t b) {
    OduValue v = oduEmpty();
    v.kind = VK_BYTE;
    v.payload.b[0] = b;
    return v;
}

OduValue oduWord(int16_t w) {
    OduValue v = oduEmpty();
    v.kind = VK_WORD;
    v.payload.w = w;
    return v;
}

OduValue oduPair(int32_t first, int32_t second) {
    OduValue v = oduEmpty();
    v.kind = VK_LONGPAIR;
    v.payload.l = first;
    v.second = second;
    return v;
}

// Equality of the value that a write operation cares about.
bool oduSame(const OduValue& a, const OduValue& b) {
    switch (a.kind) {
        case VK_BYTE:
            return a.payload.b[0] == b.payload.b[0];
        case VK_WORD:
            return a.payload.w == b.payload.w;
        case VK_LONGPAIR:
            return a.payload.l == b.payload.l && a.second == b.second;
        default:
            return false;
    }
}

// One GET; the caller hands the value over only with ODU_OK and the
// expected kind (the decode table fixes the kind, so with ODU_OK it matches).
bool oduRead(uint8_t command, uint8_t sub, int32_t kind, OduValue* v, int* status) {
    *v = oduEmpty();
    *status = ODU_Get(command, sub, v);
    return *status == ODU_OK && v->kind == kind;
}

int oduReadByte(uint8_t command, uint8_t sub, uint8_t* out) {
    OduValue v;
    int status;
    if (oduRead(command, sub, VK_BYTE, &v, &status)) *out = v.payload.b[0];
    return status;
}

int oduReadWord(uint8_t command, uint8_t sub, int16_t* out) {
    OduValue v;
    int status;
    if (oduRead(command, sub, VK_WORD, &v, &status)) *out = v.payload.w;
    return status;
}

int oduReadLong(uint8_t command, uint8_t sub, int32_t* out) {
    OduValue v;
    int status;
    if (oduRead(command, sub, VK_LONG, &v, &status)) *out = v.payload.l;
    return status;
}

// Model and serial texts: up to the first zero byte, at most 10 characters,
// always zero-terminated.
int oduReadText(uint8_t command, uint8_t sub, char* out) {
    OduValue v;
    int status;
    if (oduRead(command, sub, VK_TEXT, &v, &status)) {
        int i = 0;
        for (; i < ODU_TEXT_MAX && v.payload.b[i] != 0; i++)
            out[i] = static_cast<char>(v.payload.b[i]);
        out[i] = '\0';
    }
    return status;
}

// Measurements report every failure, a kind mismatch included, as unsupported.
int oduReadMeas(uint8_t sub, int16_t* out) {
    OduValue v;
    int status;
    if (!oduRead(ODU_CMD_MEAS, sub, VK_WORD, &v, &status)) return ODU_ERR_UNSUPPORTED;
    *out = v.payload.w;
    return ODU_OK;
}

// SET, then read back until the ODU reports the value written.
int oduWriteVerified(uint8_t command, uint8_t sub, const OduValue& value) {
    OduValue answer = oduEmpty();
    int status = ODU_Set(command, sub, &value, &answer);
    if (status != ODU_OK) return status;
    if (oduSame(value, answer)) return ODU_OK;
    int result = ODU_ERR_VERIFY;
    for (int i = 0; i < kReadBacks; i++) {
        TMR_SleepMs(kReadBackPauseMs);
        answer = oduEmpty();
        status = ODU_Get(command, sub, &answer);
        if (status == ODU_OK && oduSame(value, answer)) return ODU_OK;
        if (status == ODU_OK) {
            TMR_SleepMs(kReadBackPauseMs);
            result = ODU_ERR_VERIFY;
        } else {
            result = status;
        }
    }
    return result;
}

// SET, then poll the matching read until it shows the new byte. The SET's
// answer is not compared; the last poll's status is the result.
int oduWritePolled(uint8_t sub, uint8_t b, int (*read)(uint8_t*)) {
    OduValue value = oduByte(b);
    OduValue answer = oduEmpty();
    int status = ODU_Set(ODU_CMD_PARAM, sub, &value, &answer);
    if (status != ODU_OK) return status;
    for (int poll = 0;; poll++) {
        TMR_SleepMs(kPollPauseMs);
        uint8_t now = 0;
        status = read(&now);
        if (status == ODU_OK && now == b) return ODU_OK;
        if (poll == kLastPoll) return status;
    }
}

// Reads the next upload line the way a 128-byte line read does: at most 127
// characters, the line end kept. Returns the count read (0 at end of file),
// or -1 when the line cannot travel as one text: it is longer than the
// buffer (it would be cut in two) or holds a zero byte (it would be cut
// short).
int oduReadLine(FILE* f, char* line) {
    int n = 0;
    bool zero = false;
    while (n < kLineBuf - 1) {
        int c = getc(f);
        if (c == EOF) break;
        if (c == 0) zero = true;
        line[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    line[n] = '\0';
    if (zero) return -1;
    if (n == kLineBuf - 1 && line[n - 1] != '\n') {
        int c = getc(f);
        if (c != EOF) return -1;
    }
    return n;
}

}  // namespace

int ODU_Get(uint8_t command, uint8_t sub, OduValue* result) {
    return LNK_Transact(MSG_GET, command, sub, nullptr, result);
}

int ODU_Set(uint8_t command, uint8_t sub, const OduValue* value, OduValue* answer) {
    return LNK_Transact(MSG_SET, command, sub, value, answer);
}

int ODU_GetOpmode(uint8_t* v) {
    return oduReadByte(ODU_CMD_PARAM, 1, v);
}
int ODU_GetTxMute(uint8_t* v) {
    return oduReadByte(ODU_CMD_PARAM, 4, v);
}
int ODU_GetAtpcOn(uint8_t* v) {
    return oduReadByte(ODU_CMD_PARAM, 6, v);
}
int ODU_GetTxPower(int16_t* v) {
    return oduReadWord(ODU_CMD_PARAM, 7, v);
}

int ODU_GetTxRxFreq(int32_t* tx, int32_t* rx) {
    OduValue v;
    int status;
    if (oduRead(ODU_CMD_PARAM, 10, VK_LONGPAIR, &v, &status)) {
        *tx = v.payload.l;
        *rx = v.second;
    }
    return status;
}

int ODU_GetBandwidth(uint8_t* v) {
    return oduReadByte(ODU_CMD_PARAM, 18, v);
}
int ODU_GetQam(uint8_t* v) {
    return oduReadByte(ODU_CMD_PARAM, 19, v);
}
int ODU_GetSub31(uint8_t* v) {
    return oduReadByte(ODU_CMD_PARAM, 31, v);
}
int ODU_GetRfBand(uint8_t* v) {
    return oduReadByte(ODU_CMD_PARAM, 32, v);
}
int ODU_GetHlTx(uint8_t* v) {
    return oduReadByte(ODU_CMD_PARAM, 33, v);
}
int ODU_GetTrSpacing(int32_t* v) {
    return oduReadLong(ODU_CMD_PARAM, 34, v);
}
int ODU_GetTxPowerMin(int16_t* v) {
    return oduReadWord(ODU_CMD_PARAM, 35, v);
}
int ODU_GetTxPowerMax(int16_t* v) {
    return oduReadWord(ODU_CMD_PARAM, 37, v);
}
int ODU_GetTmodel(char* text) {
    return oduReadText(ODU_CMD_PARAM, 39, text);
}
int ODU_GetRxFreqMin(int32_t* v) {
    return oduReadLong(ODU_CMD_PARAM, 41, v);
}
int ODU_GetRxFreqMax(int32_t* v) {
    return oduReadLong(ODU_CMD_PARAM, 45, v);
}
int ODU_GetTxFreqMin(int32_t* v) {
    return oduReadLong(ODU_CMD_PARAM, 49, v);
}
int ODU_GetTxFreqMax(int32_t* v) {
    return oduReadLong(ODU_CMD_PARAM, 53, v);
}
int ODU_GetSerial(char* text) {
    return oduReadText(ODU_CMD_PARAM, 57, text);
}
int ODU_GetRbw(uint8_t* v) {
    return oduReadByte(ODU_CMD_PARAM, 58, v);
}
int ODU_GetOem(uint8_t* v) {
    return oduReadByte(ODU_CMD_PARAM, 59, v);
}
int ODU_GetSub61(uint8_t* v) {
    return oduReadByte(ODU_CMD_PARAM, 61, v);
}

int ODU_GetMeasTx(int16_t* v) {
    return oduReadMeas(1, v);
}
int ODU_GetMeasRsl(int16_t* v) {
    return oduReadMeas(2, v);
}
int ODU_GetMeasTemp(int16_t* v) {
    return oduReadMeas(3, v);
}

int ODU_GetMeasAll(int16_t* tx, int16_t* rsl, int16_t* temp) {
    OduValue v;
    int status;
    if (!oduRead(ODU_CMD_MEAS, 255, VK_TRIPLE, &v, &status)) return ODU_ERR_UNSUPPORTED;
    *tx = v.payload.w;
    *rsl = v.secondWord;
    *temp = v.thirdWord;
    return ODU_OK;
}

int ODU_GetAlarm(int16_t* v) {
    return oduReadWord(ODU_CMD_ALARM, 0, v);
}
int ODU_GetResetCause(uint8_t* v) {
    return oduReadByte(ODU_CMD_RESET, 0, v);
}

int ODU_GetVersion(uint8_t* block) {
    OduValue v;
    int status;
    if (oduRead(ODU_CMD_VERSION, 0, VK_TEXT, &v, &status)) {
        memcpy(block, v.payload.b, ODU_VERSION_BLOCK);
    }
    return status;
}

int ODU_GetAliveCounter(uint8_t* v) {
    return oduReadByte(ODU_CMD_ALIVE, 0, v);
}
int ODU_GetRpsCtrl(uint8_t* v) {
    return oduReadByte(ODU_CMD_RPSCTRL, 0, v);
}
int ODU_GetRpsAlarm(uint8_t* v) {
    return oduReadByte(ODU_CMD_RPSALARM, 0, v);
}
int ODU_GetAtpcTime(uint8_t* v) {
    return oduReadByte(ODU_CMD_TIMES, 5, v);
}
int ODU_GetAliveTime(uint8_t* v) {
    return oduReadByte(ODU_CMD_TIMES, 7, v);
}

int ODU_SetOpmode(uint8_t v) {
    return oduWriteVerified(ODU_CMD_PARAM, 1, oduByte(v));
}
int ODU_SetTxMute(uint8_t v) {
    return oduWriteVerified(ODU_CMD_PARAM, 4, oduByte(v));
}
int ODU_SetAtpcOn(uint8_t v) {
    return oduWriteVerified(ODU_CMD_PARAM, 6, oduByte(v));
}
int ODU_SetTxPower(int16_t v) {
    return oduWriteVerified(ODU_CMD_PARAM, 7, oduWord(v));
}

int ODU_SetTxRxFreq(int32_t tx, int32_t rx) {
    return oduWriteVerified(ODU_CMD_PARAM, 10, oduPair(tx, rx));
}

int ODU_SetBandwidth(uint8_t v) {
    return oduWritePolled(18, v, ODU_GetBandwidth);
}
int ODU_SetQam(uint8_t v) {
    return oduWritePolled(19, v, ODU_GetQam);
}

int ODU_SetResetCause(uint8_t v) {
    OduValue value = oduByte(v);
    OduValue answer = oduEmpty();
    int status = ODU_Set(ODU_CMD_RESET, 0, &value, &answer);
    if (status != ODU_OK) return status;
    return oduSame(value, answer) ? ODU_OK : ODU_ERR_VERIFY;
}

int ODU_SetRpsCtrl(uint8_t v) {
    return oduWriteVerified(ODU_CMD_RPSCTRL, 0, oduByte(v));
}
int ODU_SetAtpcTime(uint8_t v) {
    return oduWriteVerified(ODU_CMD_TIMES, 5, oduByte(v));
}
int ODU_SetAliveTime(uint8_t v) {
    return oduWriteVerified(ODU_CMD_TIMES, 7, oduByte(v));
}

int ODU_SendText(const char* text) {
    OduValue value = oduEmpty();
    size_t n = strnlen(text, kTextMax + 1);
    if (n > static_cast<size_t>(kTextMax)) return ODU_ERR_TOOLONG;
    value.kind = VK_TEXT;
    memcpy(value.payload.b, text, n);
    value.payload.b[n] = 0;
    return LNK_TransactRetry(MSG_SET, ODU_CMD_TEXT, 0, &value, nullptr);
}

int ODU_Reset() {
    int status = ODU_SendText("S5");
    if (status == ODU_OK) {
        status = ODU_SendText("S4");
        // The marker frames go out under the link lock like every other
        // frame, so no other thread's frame can interleave with them.
        LOCK_Take(LOCK_ODU_LINK);
        LNK_SendMarker();
        LNK_SendMarker();
        LOCK_Give(LOCK_ODU_LINK);
    }
    printf("resetting the kavor ODU ... ");
    fflush(stdout);
    TMR_SleepMs(kResetPauseMs);
    puts("done");
    return status;
}

int ODU_ResetUnit() {
    return ODU_Reset();
}

int ODU_Upload(const char* path) {
    uint8_t oldVersion[ODU_VERSION_BLOCK] = {};
    uint8_t newVersion[ODU_VERSION_BLOCK] = {};
    ODU_GetVersion(oldVersion);
    FILE* f = fopen(path, "r");
    if (f == nullptr) return ODU_OK;
    int status = ODU_SendText("S7");
    printf("result=%d\n", status);
    if (status == ODU_OK) {
        char line[kLineBuf];
        for (int n = 0;; n++) {
            int len = oduReadLine(f, line);
            if (len == 0) break;
            if (len < 0) {
                status = ODU_ERR_LINE;
                break;
            }
            if (n % 10 == 0) {
                printf("%.4d (%.3d)\r", n, len);
                fflush(stdout);
            }
            status = ODU_SendText(line);
            if (status != ODU_OK) break;
        }
    }
    fclose(f);
    TMR_SleepMs(kUploadPauseMs);
    ODU_Reset();
    ODU_GetVersion(newVersion);
    puts("Old");
    ODU_PrintVersion(oldVersion);
    puts("\nNew");
    ODU_PrintVersion(newVersion);
    return status;
}

void ODU_PrintVersion(const uint8_t* block) {
    char text[ODU_TEXT_MAX + 1];
    printf("Version: ");
    memcpy(text, block + 1, ODU_TEXT_MAX);
    text[ODU_TEXT_MAX] = '\0';
    printf("bank1:<%s> ", text);
    memcpy(text, block + 11, ODU_TEXT_MAX);
    text[ODU_TEXT_MAX] = '\0';
    printf(" bank2:<%s>\n", text);
    printf("Active: bank%d\n", block[0]);
}
