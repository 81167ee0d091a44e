// The ODU parameter operations: the library's public face towards the
// outdoor unit. Every operation returns an OduStatus (ODU_OK = 0).
#pragma once

#include <cstdint>

enum OduStatus : int {
    ODU_OK = 0,
    ODU_ERR_NORESPONSE = 1,
    ODU_ERR_OVERLONG = 2,
    ODU_ERR_FCS = 3,
    ODU_ERR_TOOLONG = 4,
    ODU_ERR_MSGTYPE = 5,
    ODU_ERR_UNSUPPORTED = 6,
    ODU_ERR_VERIFY = 7,
    ODU_ERR_LINE = 8,
    ODU_ERR_REJECTED = 9,
    ODU_ERR_SHORT = 10,
};

enum ValueKind : int32_t {
    VK_BYTE = 0,
    VK_WORD = 1,
    VK_TRIPLE = 2,
    VK_LONG = 3,
    VK_LONGPAIR = 4,
    VK_TEXT = 6,
};

// One ODU parameter value, owned by the caller. The payload holds the byte
// (b[0]), the first 16-bit word (w), the first 32-bit word (l) or a text
// followed by a zero byte (b), as the kind says. Code reads the member it
// (or the decoder) wrote for that kind.
union OduPayload {
    uint8_t b[128];
    int16_t w;
    int32_t l;
};

struct OduValue {
    OduPayload payload;
    int32_t second;      // second value of a VK_LONGPAIR
    int16_t secondWord;  // second value of a VK_TRIPLE
    int16_t thirdWord;   // third value of a VK_TRIPLE
    int32_t kind;        // ValueKind
};

constexpr int ODU_TEXT_MAX = 10;       // model and serial texts (buffer of 11)
constexpr int ODU_VERSION_BLOCK = 21;  // bank number + two 10-byte version texts

int ODU_Get(uint8_t command, uint8_t sub, OduValue* result);
int ODU_Set(uint8_t command, uint8_t sub, const OduValue* value, OduValue* answer);

int ODU_GetOpmode(uint8_t* v);
int ODU_GetTxMute(uint8_t* v);
int ODU_GetAtpcOn(uint8_t* v);
int ODU_GetTxPower(int16_t* v);
int ODU_GetTxRxFreq(int32_t* tx, int32_t* rx);
int ODU_GetBandwidth(uint8_t* v);
int ODU_GetQam(uint8_t* v);
int ODU_GetSub31(uint8_t* v);
int ODU_GetRfBand(uint8_t* v);
int ODU_GetHlTx(uint8_t* v);
int ODU_GetTrSpacing(int32_t* v);
int ODU_GetTxPowerMin(int16_t* v);
int ODU_GetTxPowerMax(int16_t* v);
int ODU_GetTmodel(char* text);  // 11 bytes
int ODU_GetRxFreqMin(int32_t* v);
int ODU_GetRxFreqMax(int32_t* v);
int ODU_GetTxFreqMin(int32_t* v);
int ODU_GetTxFreqMax(int32_t* v);
int ODU_GetSerial(char* text);  // 11 bytes
int ODU_GetRbw(uint8_t* v);
int ODU_GetOem(uint8_t* v);
int ODU_GetSub61(uint8_t* v);
int ODU_GetMeasTx(int16_t* v);
int ODU_GetMeasRsl(int16_t* v);
int ODU_GetMeasTemp(int16_t* v);
int ODU_GetMeasAll(int16_t* tx, int16_t* rsl, int16_t* temp);
int ODU_GetAlarm(int16_t* v);
int ODU_GetResetCause(uint8_t* v);
int ODU_GetVersion(uint8_t* block);  // 21 bytes
int ODU_GetAliveCounter(uint8_t* v);
int ODU_GetRpsCtrl(uint8_t* v);
int ODU_GetRpsAlarm(uint8_t* v);
int ODU_GetAtpcTime(uint8_t* v);
int ODU_GetAliveTime(uint8_t* v);

int ODU_SetOpmode(uint8_t v);
int ODU_SetTxMute(uint8_t v);
int ODU_SetAtpcOn(uint8_t v);
int ODU_SetTxPower(int16_t v);
int ODU_SetTxRxFreq(int32_t tx, int32_t rx);
int ODU_SetBandwidth(uint8_t v);
int ODU_SetQam(uint8_t v);
int ODU_SetResetCause(uint8_t v);
int ODU_SetRpsCtrl(uint8_t v);
int ODU_SetAtpcTime(uint8_t v);
int ODU_SetAliveTime(uint8_t v);

int ODU_SendText(const char* text);
int ODU_Reset();
int ODU_ResetUnit();
int ODU_Upload(const char* path);
void ODU_PrintVersion(const uint8_t* block);
