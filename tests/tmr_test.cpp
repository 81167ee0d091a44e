// Timing services: deadline arithmetic, waits on the monotonic clock, laps
// and the timer slot table.
#include "rt/tmr.h"
#include "test_clock.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <regex>
#include <string>
#include <thread>

// TMR_CondWaitMs sets up the caller's condition afresh at every wait, and a
// signaller cannot be ordered after that set-up: it can only keep signalling
// until the waiter is woken. Under ThreadSanitizer that set-up and the
// signals are reported as a race, which is the documented contract of the
// call rather than a fault in this test.
extern "C" const char* __tsan_default_suppressions() {
    return "race:TMR_CondWaitMs\n";
}

namespace {


// Makes a record look as if it had been started `us` microseconds earlier.
void ShiftStartBack(TmrDeadline* d, int64_t us) {
    const int64_t t = static_cast<int64_t>(d->startSec) * 1000000 + d->startUsec - us;
    d->startSec = static_cast<int32_t>(t / 1000000);
    d->startUsec = static_cast<int32_t>(t % 1000000);
}

struct SubtractCase {
    long xs, xu, ys, yu;
    long rs, ru;
    int negative;
};

TEST(TimevalSubtract, NormalisesYAndSubtracts) {
    const SubtractCase cases[] = {
        {10, 999999, 0, 0, 10, 999999, 0},
        {5, 200, 3, 500, 1, 999700, 0},    // borrow from the seconds
        {3, 0, 5, 0, -2, 0, 1},            // x earlier than y
        {0, 2500000, 0, 0, 2, 500000, 0},  // x microseconds over a second
        {5, 0, 2, -300000, 3, 300000, 0},  // y with negative microseconds
        {1, 100, 1, 100, 0, 0, 0},
        {100, 250000, 101, 750000, -2, 500000, 1},
    };
    for (const SubtractCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.xs << "." << c.xu << " - " << c.ys << "." << c.yu);
        struct timeval x {};
        struct timeval y {};
        struct timeval r {};
        x.tv_sec = c.xs;
        x.tv_usec = c.xu;
        y.tv_sec = c.ys;
        y.tv_usec = c.yu;
        const long long yBefore = static_cast<long long>(y.tv_sec) * 1000000 + y.tv_usec;
        EXPECT_EQ(c.negative, TMR_TimevalSubtract(&r, &x, &y));
        EXPECT_EQ(c.rs, static_cast<long>(r.tv_sec));
        EXPECT_EQ(c.ru, static_cast<long>(r.tv_usec));
        // y may be rewritten, but must still denote the same instant.
        EXPECT_EQ(yBefore, static_cast<long long>(y.tv_sec) * 1000000 + y.tv_usec);
    }
}

TEST(Deadline, LimitIsHeldAsSecondsAndMicroseconds) {
    TmrDeadline d{};
    TMR_DeadlineStart(&d);
    EXPECT_EQ(0, d.limitSec);
    EXPECT_EQ(0, d.limitUsec);
    EXPECT_EQ(0, TMR_DeadlineExpired(&d, 2500000));
    EXPECT_EQ(2, d.limitSec);
    EXPECT_EQ(500000, d.limitUsec);
    EXPECT_GE(d.elapsedUsec, 0);
    EXPECT_LT(d.elapsedUsec, 1000000);
}

struct ExpiryCase {
    int64_t elapsedUs;  // how long ago the record was started
    int limitUs;
    int expired;
};

TEST(Deadline, ExpiresOnceTheLimitHasAccumulated) {
    // Time passing during the test only adds microseconds: every "not yet"
    // case keeps at least 100 ms of margin.
    const ExpiryCase cases[] = {
        {2400000, 2500000, 0}, {2600000, 2500000, 1},
        {1400000, 1500000, 0},  // same seconds, microseconds below the limit
        {2100000, 1500000, 1},  // more seconds, microseconds below the limit
        {300000, 50000, 1},    {0, 200000, 0},
    };
    for (const ExpiryCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.elapsedUs << " us against " << c.limitUs);
        TmrDeadline d{};
        TMR_DeadlineStart(&d);
        ShiftStartBack(&d, c.elapsedUs);
        EXPECT_EQ(c.expired, TMR_DeadlineExpired(&d, c.limitUs));
    }
}

TEST(Deadline, EachCheckAddsOnlyTheTimeSinceThePreviousCheck) {
    TmrDeadline d{};
    TMR_DeadlineStart(&d);
    ShiftStartBack(&d, 1300000);
    EXPECT_EQ(0, TMR_DeadlineExpired(&d, 2500000));  // 1.3 s
    ShiftStartBack(&d, 1000000);
    EXPECT_EQ(0, TMR_DeadlineExpired(&d, 2500000));  // 2.3 s
    ShiftStartBack(&d, 300000);
    EXPECT_EQ(1, TMR_DeadlineExpired(&d, 2500000));  // 2.6 s
    EXPECT_EQ(2, d.elapsedSec);
}

TEST(Deadline, ZeroLimitRestartsAndReportsExpiry) {
    TmrDeadline d{};
    TMR_DeadlineStart(&d);
    ShiftStartBack(&d, 5000000);
    EXPECT_EQ(1, TMR_DeadlineExpired(&d, 0));
    EXPECT_EQ(0, d.elapsedSec);
    EXPECT_EQ(0, TMR_DeadlineExpired(&d, 200000));
}

TEST(Deadline, NeverStartedRecordCountsFromClockOriginAndExpires) {
    // The link layer's first exchange relies on a zero record expiring.
    TmrDeadline d{};
    const int64_t before = MonoUs();
    EXPECT_EQ(1, TMR_DeadlineExpired(&d, 50000));
    const int64_t after = MonoUs();
    // Elapsed and start are both on the monotonic clock.
    EXPECT_GE(d.elapsedSec, before / 1000000 - 1);
    EXPECT_LE(d.elapsedSec, after / 1000000);
    EXPECT_GE(d.startSec, before / 1000000);
    EXPECT_LE(d.startSec, after / 1000000);
}

TEST(Deadline, ElapsedMsAccumulatesAndRestartMovesStart) {
    TmrDeadline d{};
    TMR_DeadlineStart(&d);
    ShiftStartBack(&d, 1234500);
    const float first = TMR_DeadlineElapsedMs(&d, 1);
    EXPECT_GE(first, 1234.5f);
    EXPECT_LT(first, 1234.5f + kSlackMs);
    // Restarted: a further reading adds almost nothing.
    const float second = TMR_DeadlineElapsedMs(&d, 0);
    EXPECT_GE(second, first);
    EXPECT_LT(second, first + kSlackMs);
}

TEST(BusyWait, SpinsForTheGivenMicroseconds) {
    double t0 = MonoMs();
    EXPECT_EQ(1, TMR_BusyWaitUs(0));
    EXPECT_LT(MonoMs() - t0, kSlackMs);

    t0 = MonoMs();
    EXPECT_EQ(1, TMR_BusyWaitUs(3000));
    const double took = MonoMs() - t0;
    EXPECT_GE(took, 2.99);  // the start is read in whole microseconds
    EXPECT_LT(took, 3.0 + kSlackMs);
}

struct AbsTimeCase {
    int ms;
    long nowSec, nowUsec;
    long sec, nsec;
};

TEST(AbsTime, AddsMillisecondsWithCarry) {
    const AbsTimeCase cases[] = {
        {1500, 100, 800000, 102, 300000000},
        {0, 7, 0, 7, 0},
        {999, 0, 1000, 1, 0},
        {500, 1, 499999, 1, 999999000},
        {38, 0, 999990, 1, 37990000},
        {20000, 50, 999999, 70, 999999000},
    };
    for (const AbsTimeCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ms << " ms after " << c.nowSec << "." << c.nowUsec);
        struct timeval now {};
        now.tv_sec = c.nowSec;
        now.tv_usec = c.nowUsec;
        struct timespec ts {};
        TMR_AbsTimeFrom(&ts, c.ms, &now);
        EXPECT_EQ(c.sec, static_cast<long>(ts.tv_sec));
        EXPECT_EQ(c.nsec, static_cast<long>(ts.tv_nsec));
    }
}

// The waits must be measured on the monotonic clock: a deadline taken from
// the wall clock would be decades away from these readings, and a wall-clock
// step would stretch or cut it.
TEST(MonotonicClock, NowAndAbsTimeFollowTheMonotonicClock) {
    const int64_t before = MonoUs();
    struct timeval now {};
    TMR_Now(&now);
    struct timespec ts {};
    TMR_AbsTimeMs(&ts, 250);
    const int64_t after = MonoUs();

    const int64_t nowUs = static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
    EXPECT_GE(nowUs, before);
    EXPECT_LE(nowUs, after);
    EXPECT_GE(now.tv_usec, 0);
    EXPECT_LT(now.tv_usec, 1000000);

    const int64_t absUs = static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    EXPECT_GE(absUs, before + 250000);
    EXPECT_LE(absUs, after + 250000);
}

TEST(MonotonicClock, CondInitWaitsUntilAnAbsTimeDeadline) {
    pthread_cond_t cond;
    ASSERT_EQ(0, TMR_CondInit(&cond));
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    const double t0 = MonoMs();
    struct timespec deadline;
    TMR_AbsTimeMs(&deadline, 60);
    pthread_mutex_lock(&mutex);
    int rc = 0;
    while (rc == 0) rc = pthread_cond_timedwait(&cond, &mutex, &deadline);
    pthread_mutex_unlock(&mutex);
    const double took = MonoMs() - t0;
    pthread_cond_destroy(&cond);
    EXPECT_EQ(ETIMEDOUT, rc);
    EXPECT_GE(took, 59.0);
    EXPECT_LT(took, 60.0 + kSlackMs);
}

TEST(MonotonicClock, SleepLastsTheGivenMilliseconds) {
    const double t0 = MonoMs();
    EXPECT_EQ(0, TMR_SleepMs(50));
    const double took = MonoMs() - t0;
    EXPECT_GE(took, 49.0);
    EXPECT_LT(took, 50.0 + kSlackMs);
}

TEST(CondWait, TimesOutWithoutSignal) {
    pthread_cond_t cond;
    const double t0 = MonoMs();
    EXPECT_EQ(0, TMR_CondWaitMs(100, &cond));
    const double took = MonoMs() - t0;
    EXPECT_GE(took, 99.0);
    EXPECT_LT(took, 100.0 + kSlackMs);
    pthread_cond_destroy(&cond);
}

TEST(CondWait, ReturnsEarlyWhenSignalled) {
    pthread_cond_t cond;
    std::atomic<bool> done{false};
    // A signal given before the wait starts is lost, so keep signalling.
    std::thread signaller([&] {
        TMR_SleepMs(20);
        while (!done.load()) {
            pthread_cond_signal(&cond);
            TMR_SleepMs(5);
        }
    });
    const double t0 = MonoMs();
    const int rc = TMR_CondWaitMs(3000, &cond);
    const double took = MonoMs() - t0;
    done.store(true);
    signaller.join();
    pthread_cond_destroy(&cond);
    EXPECT_EQ(1, rc);
    EXPECT_LT(took, 1500.0);
}

TEST(Lap, RunningMeanOverLaps) {
    TmrLap lap{};
    TMR_DeadlineStart(&lap.deadline);
    const float laps[] = {10.0f, 20.0f, 30.0f};
    const float means[] = {10.0f, 15.0f, 20.0f};
    for (int i = 0; i < 3; ++i) {
        ShiftStartBack(&lap.deadline, static_cast<int64_t>(laps[i]) * 1000);
        const float x = TMR_LapMs(&lap);
        EXPECT_GE(x, laps[i]);
        EXPECT_LT(x, laps[i] + 5.0f);
        EXPECT_NEAR(means[i], lap.mean, 5.0f);
        EXPECT_EQ(i + 1, lap.count);
    }
    // Each lap starts afresh: the next one does not include the earlier ones.
    ShiftStartBack(&lap.deadline, 40000);
    const float last = TMR_LapReset(&lap);
    EXPECT_GE(last, 40.0f);
    EXPECT_LT(last, 45.0f);
    EXPECT_EQ(1, lap.count);
    EXPECT_EQ(last, lap.mean);
}

TEST(Slots, TableFillsAndFreedSlotIsReused) {
    for (int i = 0; i < TMR_SLOT_COUNT; ++i) ASSERT_EQ(i, TMR_SlotAlloc());
    EXPECT_EQ(-1, TMR_SlotAlloc());

    // Indices outside the table are handed back and free nothing.
    EXPECT_EQ(256, TMR_SlotFree(256));
    EXPECT_EQ(-1, TMR_SlotFree(-1));
    EXPECT_EQ(-1, TMR_SlotAlloc());

    const float ms = TMR_SlotStopMs(5);
    EXPECT_GE(ms, 0.0f);
    EXPECT_LT(ms, kSlackMs);
    EXPECT_EQ(5, TMR_SlotAlloc());
    EXPECT_EQ(-1, TMR_SlotAlloc());

    EXPECT_EQ(200, TMR_SlotFree(200));
    EXPECT_EQ(200, TMR_SlotAlloc());
}

TEST(Slots, OutOfRangeIndicesAreRefused) {
    EXPECT_EQ(-1.0f, TMR_SlotStopMs(256));
    EXPECT_EQ(-1.0f, TMR_SlotStopMs(static_cast<unsigned>(-1)));
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, TMR_SlotPrint(300));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST(Slots, PrintShowsDurationInMilliseconds) {
    const int slot = TMR_SlotAlloc();
    ASSERT_GE(slot, 0);
    TMR_SleepMs(12);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, TMR_SlotPrint(static_cast<unsigned>(slot)));
    const std::string out = testing::internal::GetCapturedStdout();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out, m, std::regex("duration: ([0-9]+\\.[0-9]{2}) msec\n")))
        << out;
    const double ms = std::stod(m[1].str());
    EXPECT_GE(ms, 12.0);
    EXPECT_LT(ms, 12.0 + kSlackMs);
    // Printing frees the slot.
    EXPECT_EQ(slot, TMR_SlotAlloc());
}

}  // namespace
