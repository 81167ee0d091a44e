// Task queue: timed one-shot and periodic tasks, a 38 ms tick, the TQ_Exec
// executor and reaping of finished task threads through event 1008.
#pragma once

#include <cstdint>

constexpr int TQ_SIZE = 128;
constexpr int TQ_PERIOD_UNIT_MS = 50;  // one countdown tick stands for 50 ms
constexpr int TQ_TICK_MS = 38;         // the tick thread wakes every 38 ms

constexpr int TQ_MODE_DELAY = 0;
constexpr int TQ_MODE_ONESHOT = 1;
constexpr int TQ_MODE_PERIODIC = 2;

// Task function: the argument points to an int holding its thread-slot
// index; it must call TQ_ThreadDone with that index before returning.
typedef void* (*TQ_TaskFn)(void*);

struct TQ_Stats {
    int32_t free;
    int32_t waiting;
    int32_t ready;
    int32_t running;
};

int TQ_Init();
int TQ_Add(int periodMs, TQ_TaskFn function, int periodic);
int TQ_Delay(int ms);
int TQ_SetPeriod(int handle, int periodMs);
int TQ_SetOneShot(unsigned handle);
int TQ_Remove(unsigned handle);
int TQ_StopTimer();
int TQ_GetStats(TQ_Stats* stats);
int TQ_ThreadDone(int slot);
void TQ_Reap();

// Number of countdown walks the tick thread has made since start-up (each
// walk decrements every waiting task once). For diagnostics and timing tests.
uint32_t TQ_TickCount();
