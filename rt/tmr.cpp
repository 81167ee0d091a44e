// Timing services. All readings of "now" come from TMR_CLOCK (monotonic), so
// a step of the wall clock neither stretches nor cuts a running wait.
#include "rt/tmr.h"

#include <errno.h>

#include <cstdio>

namespace {

constexpr int32_t kUsPerSec = 1000000;

TmrSlot g_slots[TMR_SLOT_COUNT];

// Adds the time since d->start to the accumulated elapsed time; with
// restart == 1 the start moves to now.
void AccumulateSinceStart(TmrDeadline* d, const struct timeval& now, int restart) {
    struct timeval x = now;
    struct timeval y;
    y.tv_sec = d->startSec;
    y.tv_usec = d->startUsec;
    struct timeval diff;
    TMR_TimevalSubtract(&diff, &x, &y);
    // The start may come back in an equivalent, renormalised form.
    d->startSec = static_cast<int32_t>(y.tv_sec);
    d->startUsec = static_cast<int32_t>(y.tv_usec);

    const int32_t u = d->elapsedUsec + static_cast<int32_t>(diff.tv_usec);
    d->elapsedSec += static_cast<int32_t>(diff.tv_sec) + u / kUsPerSec;
    d->elapsedUsec = u % kUsPerSec;

    if (restart == 1) {
        d->startSec = static_cast<int32_t>(now.tv_sec);
        d->startUsec = static_cast<int32_t>(now.tv_usec);
    }
}

}  // namespace

void TMR_Now(struct timeval* now) {
    struct timespec ts;
    clock_gettime(TMR_CLOCK, &ts);
    now->tv_sec = ts.tv_sec;
    now->tv_usec = static_cast<suseconds_t>(ts.tv_nsec / 1000);
}

int TMR_CondInit(pthread_cond_t* cond) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, TMR_CLOCK);
    const int rc = pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
    return rc;
}

int TMR_TimevalSubtract(struct timeval* result, struct timeval* x, struct timeval* y) {
    // Carry on y so that the microsecond difference lies in 0..1000000;
    // y still denotes the same instant afterwards.
    if (x->tv_usec < y->tv_usec) {
        const long n = static_cast<long>((y->tv_usec - x->tv_usec) / kUsPerSec + 1);
        y->tv_usec -= static_cast<suseconds_t>(kUsPerSec * n);
        y->tv_sec += n;
    }
    if (x->tv_usec - y->tv_usec > kUsPerSec) {
        const long n = static_cast<long>((x->tv_usec - y->tv_usec) / kUsPerSec);
        y->tv_usec += static_cast<suseconds_t>(kUsPerSec * n);
        y->tv_sec -= n;
    }
    result->tv_sec = x->tv_sec - y->tv_sec;
    result->tv_usec = x->tv_usec - y->tv_usec;
    return x->tv_sec < y->tv_sec ? 1 : 0;
}

float TMR_DeadlineElapsedMs(TmrDeadline* d, int restart) {
    struct timeval now;
    TMR_Now(&now);
    AccumulateSinceStart(d, now, restart);
    const float secondsMs = static_cast<float>(d->elapsedSec * 1000.0);
    return static_cast<float>(secondsMs + d->elapsedUsec / 1000.0);
}

int TMR_DeadlineExpired(TmrDeadline* d, int limitUs) {
    if (limitUs == 0) {
        struct timeval now;
        TMR_Now(&now);
        d->startSec = static_cast<int32_t>(now.tv_sec);
        d->startUsec = static_cast<int32_t>(now.tv_usec);
        d->elapsedSec = 0;
        d->elapsedUsec = 0;
    }
    d->limitSec = limitUs / kUsPerSec;
    d->limitUsec = limitUs % kUsPerSec;
    TMR_DeadlineElapsedMs(d, 1);
    if (d->elapsedSec == d->limitSec && d->elapsedUsec >= d->limitUsec) return 1;
    return d->elapsedSec > d->limitSec ? 1 : 0;
}

int TMR_DeadlineStart(TmrDeadline* d) {
    TMR_DeadlineExpired(d, 0);
    return 0;
}

int TMR_BusyWaitUs(int us) {
    TmrDeadline d{};
    TMR_DeadlineStart(&d);
    while (TMR_DeadlineExpired(&d, us) != 1) {
    }
    return 1;
}

void TMR_AbsTimeFrom(struct timespec* ts, int ms, const struct timeval* now) {
    long long s = ms / 1000;
    long long u = static_cast<long long>(ms % 1000) * 1000;
    u += now->tv_usec;
    s += now->tv_sec;
    ts->tv_sec = static_cast<time_t>(s + u / kUsPerSec);
    ts->tv_nsec = static_cast<long>((u % kUsPerSec) * 1000);
}

void TMR_AbsTimeMs(struct timespec* ts, int ms) {
    struct timeval now;
    TMR_Now(&now);
    TMR_AbsTimeFrom(ts, ms, &now);
}

int TMR_SleepMs(int ms) {
    pthread_cond_t cond;
    TMR_CondInit(&cond);
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    struct timespec deadline;
    TMR_AbsTimeMs(&deadline, ms);
    pthread_mutex_lock(&mutex);
    pthread_cond_timedwait(&cond, &mutex, &deadline);
    const int rc = pthread_mutex_unlock(&mutex);
    pthread_cond_destroy(&cond);
    return rc;
}

int TMR_CondWaitMs(int ms, pthread_cond_t* cond) {
    struct timespec deadline;
    TMR_AbsTimeMs(&deadline, ms);
    // The caller's condition is set up afresh, on the monotonic clock, so the
    // deadline above is measured on the clock the wait uses.
    TMR_CondInit(cond);
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_lock(&mutex);
    const int rc = pthread_cond_timedwait(cond, &mutex, &deadline);
    pthread_mutex_unlock(&mutex);
    return rc == ETIMEDOUT ? 0 : 1;
}

float TMR_LapMs(TmrLap* lap) {
    const float x = TMR_DeadlineElapsedMs(&lap->deadline, 0);
    lap->count += 1;
    lap->mean = lap->mean + (x - lap->mean) / static_cast<float>(lap->count);
    TMR_DeadlineStart(&lap->deadline);
    return x;
}

float TMR_LapReset(TmrLap* lap) {
    lap->count = 0;
    lap->mean = 0.0f;
    return TMR_LapMs(lap);
}

int TMR_SlotAlloc() {
    for (int i = 0; i < TMR_SLOT_COUNT; ++i) {
        if (g_slots[i].inUse == 0) {
            g_slots[i].inUse = 1;
            TMR_DeadlineStart(&g_slots[i].lap.deadline);
            return i;
        }
    }
    return -1;
}

float TMR_SlotStopMs(unsigned slot) {
    if (slot >= static_cast<unsigned>(TMR_SLOT_COUNT)) return -1.0f;
    const float x = TMR_DeadlineElapsedMs(&g_slots[slot].lap.deadline, 0);
    TMR_SlotFree(static_cast<int>(slot));
    return x;
}

int TMR_SlotPrint(unsigned slot) {
    if (slot >= static_cast<unsigned>(TMR_SLOT_COUNT)) return -1;
    const float x = TMR_DeadlineElapsedMs(&g_slots[slot].lap.deadline, 0);
    printf("duration: %.2f msec\n", static_cast<double>(x));
    TMR_SlotFree(static_cast<int>(slot));
    return 0;
}

int TMR_SlotFree(int slot) {
    // Indices outside the table are handed back without touching anything.
    if (slot >= 0 && slot < TMR_SLOT_COUNT) g_slots[slot].inUse = 0;
    return slot;
}
