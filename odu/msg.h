// Message codec: builds request messages and decodes the ODU's answers.
#pragma once

#include <cstdint>

#include "odu/odu.h"

constexpr uint8_t MSG_REPLY = 1;
constexpr uint8_t MSG_GET = 2;
constexpr uint8_t MSG_SET = 3;

constexpr uint8_t ODU_CMD_ALARM = 1;
constexpr uint8_t ODU_CMD_PARAM = 2;
constexpr uint8_t ODU_CMD_TEXT = 3;
constexpr uint8_t ODU_CMD_MEAS = 5;
constexpr uint8_t ODU_CMD_RESET = 7;
constexpr uint8_t ODU_CMD_VERSION = 8;
constexpr uint8_t ODU_CMD_ALIVE = 32;
constexpr uint8_t ODU_CMD_RPSCTRL = 36;
constexpr uint8_t ODU_CMD_RPSALARM = 37;
constexpr uint8_t ODU_CMD_TIMES = 38;

constexpr int MSG_MAX_LEN = 128;  // request and answer buffers

// 1 for the commands that carry a sub-command byte (2, 5, 38).
int MSG_HasSub(uint8_t command);

// Builds a GET or SET request into req (MSG_MAX_LEN bytes). A SET that
// would not fit is refused with ODU_ERR_TOOLONG before anything is written;
// on every failure *len is 0.
int MSG_BuildRequest(uint8_t type, uint8_t command, uint8_t sub, uint8_t* req, uint8_t* len,
                     const OduValue* value);
// Appends the value's wire bytes at *len and advances it. A value that
// would end beyond MSG_MAX_LEN is not appended (buffer and *len unchanged).
void MSG_PutValue(const OduValue* value, uint8_t* buf, uint8_t* len);
// Decodes an answer; len counts the two FCS bytes after the message. An
// answer whose message ends before the end of its value is ODU_ERR_SHORT.
// On failure the value record is untouched. value may be null for
// command 3 (and is then simply not filled for any command).
int MSG_DecodeResponse(uint8_t command, uint8_t sub, const uint8_t* answer, uint8_t len,
                       OduValue* value);
// Copies count bytes and writes a zero byte after them (count + 1 bytes).
void MSG_CopyBlock(uint8_t* dst, const uint8_t* src, uint8_t count);
