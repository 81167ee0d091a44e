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

int MSG_BuildRequest(uint8_t type, uint8_t command, uint8_t sub, uint8_t* req, uint8_t* len,
                     const OduValue* value);
void MSG_PutValue(const OduValue* value, uint8_t* buf, uint8_t* len);
int MSG_DecodeResponse(uint8_t command, uint8_t sub, const uint8_t* answer, uint8_t len,
                       OduValue* value);
void MSG_CopyBlock(uint8_t* dst, const uint8_t* src, uint8_t count);
