// Named lock table: set-up, take/give bookkeeping, timed takes, blocking and
// the in-use lifecycle.
#include "rt/lock.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <thread>

#include "rt/tmr.h"
#include "test_clock.h"

namespace {


void ExpectState(int index, int held, int pid) {
    int h = -7;
    int p = -7;
    ASSERT_EQ(0, LOCK_Query(index, &h, &p)) << "index " << index;
    EXPECT_EQ(held, h) << "index " << index;
    EXPECT_EQ(pid, p) << "index " << index;
}

// Holds a lock in its own thread until told to give it back.
class Holder {
   public:
    explicit Holder(int index) : index_(index) {
        thread_ = std::thread([this] {
            LOCK_Take(index_);
            taken_.store(true);
            while (!release_.load()) TMR_SleepMs(1);
            LOCK_Give(index_);
        });
        while (!taken_.load()) TMR_SleepMs(1);
    }
    ~Holder() {
        release_.store(true);
        thread_.join();
    }
    void Release() { release_.store(true); }

   private:
    int index_;
    std::atomic<bool> taken_{false};
    std::atomic<bool> release_{false};
    std::thread thread_;
};

TEST(Lock, QueryBeforeInitRefusesAndLeavesOutputs) {
    int held = 33;
    int pid = 44;
    EXPECT_EQ(-1, LOCK_Query(LOCK_ODU_LINK, &held, &pid));
    EXPECT_EQ(33, held);
    EXPECT_EQ(44, pid);
}

TEST(Lock, InitSetsEveryEntryFree) {
    EXPECT_EQ(0, LOCK_Init());
    for (int i = 0; i < LOCK_COUNT; ++i) ExpectState(i, 0, 0);
}

TEST(Lock, TakeAndGiveRecordHolderState) {
    LOCK_Init();
    const int me = static_cast<int>(getpid());
    EXPECT_EQ(0, LOCK_Take(LOCK_ODU_LINK));
    ExpectState(LOCK_ODU_LINK, 1, me);
    ExpectState(3, 0, 0);
    EXPECT_EQ(0, LOCK_Give(LOCK_ODU_LINK));
    ExpectState(LOCK_ODU_LINK, 0, me);
    // Free again: it can be taken at once.
    EXPECT_EQ(0, LOCK_TakeTimed(LOCK_ODU_LINK, 0));
    EXPECT_EQ(0, LOCK_Give(LOCK_ODU_LINK));
}

TEST(Lock, OutOfRangeIndicesAreRefused) {
    LOCK_Init();
    for (int index : {-1, LOCK_COUNT, 1000, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(EINVAL, LOCK_Take(index));
        EXPECT_EQ(EINVAL, LOCK_TakeTimed(index, 0));
        EXPECT_EQ(EINVAL, LOCK_Give(index));
        int held = 5;
        int pid = 6;
        EXPECT_EQ(-1, LOCK_Query(index, &held, &pid));
        EXPECT_EQ(5, held);
        EXPECT_EQ(6, pid);
        EXPECT_EQ(-1, LOCK_Free(index));
    }
    for (int i = 0; i < LOCK_COUNT; ++i) ExpectState(i, 0, 0);
}

TEST(LockTimed, ZeroLimitTriesOnceOnABusyLock) {
    LOCK_Init();
    Holder holder(LOCK_ODU_LINK);
    const double t0 = MonoMs();
    EXPECT_EQ(EBUSY, LOCK_TakeTimed(LOCK_ODU_LINK, 0));
    EXPECT_LT(MonoMs() - t0, kSlackMs);
    ExpectState(LOCK_ODU_LINK, 1, static_cast<int>(getpid()));
}

TEST(LockTimed, GivesUpWhenTheLimitInMicrosecondsPasses) {
    LOCK_Init();
    Holder holder(LOCK_ODU_LINK);
    const double t0 = MonoMs();
    EXPECT_EQ(EBUSY, LOCK_TakeTimed(LOCK_ODU_LINK, 30000));
    const double took = MonoMs() - t0;
    EXPECT_GE(took, 29.99);  // the deadline reads the clock in whole microseconds
    EXPECT_LT(took, 30.0 + kSlackMs);
}

TEST(LockTimed, TakesALockGivenBeforeTheLimit) {
    LOCK_Init();
    Holder holder(LOCK_ODU_LINK);
    std::thread giver([&] {
        TMR_SleepMs(5);
        holder.Release();
    });
    // The limit is generous so that a loaded machine cannot make the holder
    // miss it; the lock is given after about 5 ms.
    const double t0 = MonoMs();
    const int rc = LOCK_TakeTimed(LOCK_ODU_LINK, 20000 + static_cast<int>(kSlackMs) * 1000);
    const double took = MonoMs() - t0;
    giver.join();
    EXPECT_EQ(0, rc);
    EXPECT_GE(took, 4.0);
    ExpectState(LOCK_ODU_LINK, 1, static_cast<int>(getpid()));
    EXPECT_EQ(0, LOCK_Give(LOCK_ODU_LINK));
}

TEST(Lock, BlockedTakerProceedsOnGive) {
    LOCK_Init();
    ASSERT_EQ(0, LOCK_Take(LOCK_ODU_LINK));
    std::atomic<int> takerResult{-1};
    std::atomic<bool> taken{false};
    std::thread taker([&] {
        takerResult.store(LOCK_Take(LOCK_ODU_LINK));
        taken.store(true);
        LOCK_Give(LOCK_ODU_LINK);
    });
    TMR_SleepMs(20);
    EXPECT_FALSE(taken.load());
    // Other indices are unaffected while index 2 is held and waited for.
    EXPECT_EQ(0, LOCK_TakeTimed(3, 0));
    EXPECT_EQ(0, LOCK_Give(3));
    EXPECT_EQ(0, LOCK_Give(LOCK_ODU_LINK));
    taker.join();
    EXPECT_TRUE(taken.load());
    EXPECT_EQ(0, takerResult.load());
}

TEST(Lock, FreeTwiceThenInitRestoresEntry) {
    LOCK_Init();
    ASSERT_EQ(0, LOCK_Take(5));
    ASSERT_EQ(0, LOCK_Give(5));
    EXPECT_EQ(0, LOCK_Free(5));
    EXPECT_EQ(-1, LOCK_Free(5));
    int held = 9;
    int pid = 9;
    EXPECT_EQ(-1, LOCK_Query(5, &held, &pid));
    EXPECT_EQ(9, held);
    ExpectState(6, 0, 0);
    EXPECT_EQ(0, LOCK_Init());
    ExpectState(5, 0, 0);
    EXPECT_EQ(0, LOCK_TakeTimed(5, 0));
    EXPECT_EQ(0, LOCK_Give(5));
}

TEST(Lock, SecondInitKeepsAHeldLockHeld) {
    LOCK_Init();
    Holder holder(LOCK_ODU_LINK);
    EXPECT_EQ(0, LOCK_Init());
    ExpectState(LOCK_ODU_LINK, 1, static_cast<int>(getpid()));
    // The mutex was not re-created under its holder.
    EXPECT_EQ(EBUSY, LOCK_TakeTimed(LOCK_ODU_LINK, 0));
}

TEST(LockMutexCreate, AppliesTheRequestedType) {
    pthread_mutex_t m;
    ASSERT_EQ(0, LOCK_MutexCreate(&m, PTHREAD_MUTEX_ERRORCHECK));
    ASSERT_EQ(0, pthread_mutex_lock(&m));
    EXPECT_EQ(EDEADLK, pthread_mutex_lock(&m));
    EXPECT_EQ(0, pthread_mutex_unlock(&m));
    pthread_mutex_destroy(&m);
}

}  // namespace
