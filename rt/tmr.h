// Timing services: deadlines in microseconds, sleeps and timed waits in
// milliseconds, lap timers and a table of 256 timer slots.
//
// Every reading of "now" comes from the monotonic clock, and every condition
// variable waited on with a time from TMR_AbsTimeMs must be created with
// TMR_CondInit (or TMR_COND_INIT semantics) so that its timed wait measures
// the same clock. A step of the wall clock (NTP sync at boot) therefore
// neither stretches nor cuts a wait.
#pragma once

#include <pthread.h>
#include <sys/time.h>
#include <time.h>

#include <cstdint>

// Caller-owned deadline record. All zero = never started.
struct TmrDeadline {
    int32_t startSec;
    int32_t startUsec;
    int32_t limitSec;
    int32_t limitUsec;
    int32_t elapsedSec;
    int32_t elapsedUsec;
};

struct TmrLap {
    TmrDeadline deadline;
    int32_t count;  // laps folded into the mean
    float mean;     // running mean of the laps, ms
};

struct TmrSlot {
    TmrLap lap;
    int32_t inUse;
};

constexpr int TMR_SLOT_COUNT = 256;

// The clock every wait is measured on.
constexpr clockid_t TMR_CLOCK = CLOCK_MONOTONIC;

// Current time on TMR_CLOCK as a timeval.
void TMR_Now(struct timeval* now);

int TMR_TimevalSubtract(struct timeval* result, struct timeval* x, struct timeval* y);
float TMR_DeadlineElapsedMs(TmrDeadline* d, int restart);
int TMR_DeadlineExpired(TmrDeadline* d, int limitUs);
int TMR_DeadlineStart(TmrDeadline* d);
int TMR_BusyWaitUs(int us);
void TMR_AbsTimeMs(struct timespec* ts, int ms);
// The arithmetic of TMR_AbsTimeMs for a given "now" on TMR_CLOCK.
void TMR_AbsTimeFrom(struct timespec* ts, int ms, const struct timeval* now);
int TMR_SleepMs(int ms);
int TMR_CondWaitMs(int ms, pthread_cond_t* cond);
float TMR_LapMs(TmrLap* lap);
float TMR_LapReset(TmrLap* lap);
int TMR_SlotAlloc();
float TMR_SlotStopMs(unsigned slot);
int TMR_SlotPrint(unsigned slot);
int TMR_SlotFree(int slot);

// Initialises a condition variable whose timed waits run on TMR_CLOCK.
int TMR_CondInit(pthread_cond_t* cond);
