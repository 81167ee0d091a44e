// Link transactions: one request/answer conversation with the ODU under
// the ODU link lock, with gap, answer wait, marker frames and retries.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "odu/odu.h"
#include "rt/tmr.h"

constexpr int LNK_MAX_MESSAGE = 107;  // largest message a frame carries
constexpr int LNK_GAP_US = 50000;     // pause between two exchanges
constexpr int LNK_ANSWER_WAIT_MS = 500;
constexpr int LNK_RETRY_IRQ_WAIT_MS = 5000;

// 1 while the ODU receive interrupt is switched on (written by the
// interrupt-line code, read at every answer wait).
extern std::atomic<uint8_t> LNK_RxIrqMode;
// Signalled by the receive-interrupt reader thread; waited on (timed, on
// the monotonic clock) by the answer wait under LNK_RxMutex.
extern pthread_cond_t LNK_RxCond;
extern pthread_mutex_t LNK_RxMutex;
extern TmrDeadline LNK_GapTimer;

int LNK_SendFrame(const uint8_t* message, uint8_t n);
void LNK_SendMarker();
int LNK_ReceiveFrame(uint8_t* answer, uint8_t* len);
int LNK_Exchange(const uint8_t* request, uint8_t n, uint8_t* answer, uint8_t* len);
int LNK_Transact(uint8_t type, uint8_t command, uint8_t sub, const OduValue* value,
                 OduValue* result);
int LNK_TransactRetry(uint8_t type, uint8_t command, uint8_t sub, const OduValue* value,
                      OduValue* result);
int LNK_DebugMode(int operation);
