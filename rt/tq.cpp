#include "rt/tq.h"

#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>

#include "rt/list.h"
#include "rt/sys_evt.h"
#include "rt/tmr.h"

namespace {

// Where a task record is. The tick thread and the executor only ever act on
// records that are on their own list; the handle operations use the place to
// decide what they may touch.
enum TaskPlace : int32_t {
    PLACE_FREE = 0,
    PLACE_TIMER,   // on the timer list
    PLACE_READY,   // on the ready list
    PLACE_PICKED,  // still on the ready list; the executor is starting it
    PLACE_LIMBO,   // on no list; the executor re-arms or releases it next
};

// The link comes first so that a list node is the record.
struct TQ_Task {
    ListNode link;
    int32_t countdown;
    int32_t reload;
    int32_t mode;
    int32_t expired;
    TQ_TaskFn function;
    int32_t allocated;
    int32_t place;
    uint32_t generation;  // advanced on every allocation, tells stale handles apart
    int32_t removed;      // TQ_Remove came while the executor had the record:
                          // it is off its list and counted free, only the
                          // executor's release of the record is left
    uint32_t skipPass;    // executor pass in which no thread slot was free for it
    int32_t delayDone;    // a delay record is off the ready list (g_delayMutex)
};

struct TQ_Thread {
    pthread_t handle;
    int32_t state;  // 0 free, 1 running, 2 finished
    TQ_TaskFn function;
};

struct TQ_Handle {
    TQ_Task* task;
    uint32_t generation;
};

constexpr int32_t THREAD_FREE = 0;
constexpr int32_t THREAD_RUNNING = 1;
constexpr int32_t THREAD_FINISHED = 2;

// How often the tick retries its list mutexes, 1 ms apart, before it lets a
// tick go by.
constexpr int TICK_LOCK_ATTEMPTS = 8;

// Static state starts out as after TQ_Init's clearing, so operations made
// before TQ_Init are sound (nothing expires until the tick thread runs).
TQ_Task g_tasks[TQ_SIZE];
TQ_Thread g_threads[TQ_SIZE];
int g_threadArg[TQ_SIZE];  // the int each task thread is handed, slot index
TQ_Handle g_handles[TQ_SIZE];
int g_ring = 0;  // guarded by g_timerMutex, like the handle table

ListNode g_timerList = {&g_timerList, &g_timerList};
ListNode g_readyList = {&g_readyList, &g_readyList};

// Lock order: timer list, then ready list. The thread-table mutex and the
// delay mutex are never held together with a list mutex.
pthread_mutex_t g_timerMutex = PTHREAD_MUTEX_INITIALIZER;  // timer list, records, handles
pthread_mutex_t g_readyMutex = PTHREAD_MUTEX_INITIALIZER;  // ready list, executor state
pthread_mutex_t g_threadMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t g_delayMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_delayCond = PTHREAD_COND_INITIALIZER;

// The executor sleeps on g_execCond (with g_readyMutex) while it has nothing
// to start; the tick signals it when a task becomes ready and the reaper when
// a thread slot comes free (g_retry).
pthread_cond_t g_execCond;
bool g_retry = false;
uint32_t g_pass = 1;

pthread_mutex_t g_tickMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_tickCond;
std::atomic<bool> g_tickStop{false};
std::atomic<uint32_t> g_tickCount{0};

std::atomic<int32_t> g_free{TQ_SIZE};
std::atomic<int32_t> g_waiting{0};
std::atomic<int32_t> g_ready{0};
std::atomic<int32_t> g_running{0};

std::atomic<bool> g_reapBusy{false};

pthread_mutex_t g_initMutex = PTHREAD_MUTEX_INITIALIZER;
bool g_started = false;
pthread_t g_execThread;
pthread_t g_tickThread;

TQ_Task* TaskOf(ListNode* node) {
    return reinterpret_cast<TQ_Task*>(node);
}

int32_t PeriodToTicks(int periodMs) {
    return periodMs / TQ_PERIOD_UNIT_MS;
}

// Caller holds g_timerMutex.
TQ_Task* Allocate() {
    for (TQ_Task& t : g_tasks) {
        if (t.allocated == 0) {
            t.allocated = 1;
            ++t.generation;
            g_free.fetch_sub(1, std::memory_order_relaxed);
            return &t;
        }
    }
    return nullptr;
}

// Caller holds g_timerMutex; the record is on no list.
void Release(TQ_Task* t) {
    if (t->removed == 0) g_free.fetch_add(1, std::memory_order_relaxed);
    t->allocated = 0;
    t->place = PLACE_FREE;
    t->removed = 0;
}

// Caller holds g_timerMutex; the record is on no list.
void Rearm(TQ_Task* t) {
    t->countdown = t->reload;
    t->expired = 0;
    t->place = PLACE_TIMER;
    LIST_InsertBefore(&t->link, &g_timerList);
    g_waiting.fetch_add(1, std::memory_order_relaxed);
}

// Caller holds g_timerMutex; the record is on no list.
void Arm(TQ_Task* t, int periodMs, TQ_TaskFn function, int mode) {
    int32_t ticks = PeriodToTicks(periodMs);
    t->reload = ticks > 0 ? ticks : 1;
    t->mode = mode;
    t->function = function;
    t->removed = 0;
    Rearm(t);
}

// The live task a handle names, or null for an empty entry or a stale one
// (record released, or allocated again since the handle was issued).
// Caller holds g_timerMutex.
TQ_Task* Lookup(unsigned handle) {
    const TQ_Handle& h = g_handles[handle];
    if (h.task == nullptr || h.task->allocated == 0 || h.task->generation != h.generation) {
        return nullptr;
    }
    return h.task;
}

void LockBoth() {
    pthread_mutex_lock(&g_timerMutex);
    pthread_mutex_lock(&g_readyMutex);
}

void UnlockBoth() {
    pthread_mutex_unlock(&g_readyMutex);
    pthread_mutex_unlock(&g_timerMutex);
}

// Starts function on a thread slot of its own. 0 = started, or skipped
// because the function already occupies a slot; -1 = no slot (or no thread)
// to be had, the task should wait.
int StartFunction(TQ_TaskFn function) {
    int rc = -1;
    pthread_mutex_lock(&g_threadMutex);
    int freeSlot = -1;
    bool busy = false;
    for (int i = 0; i < TQ_SIZE; ++i) {
        if (g_threads[i].function == function) {
            busy = true;
            break;
        }
        if (freeSlot < 0 && g_threads[i].state == THREAD_FREE) freeSlot = i;
    }
    if (busy) {
        rc = 0;
    } else if (freeSlot >= 0) {
        TQ_Thread& slot = g_threads[freeSlot];
        // Joinable: the reaper joins the thread before the slot is reused.
        // The mutex is held across the creation so the reaper never sees a
        // finished slot whose handle is not yet stored.
        if (pthread_create(&slot.handle, nullptr, function, &g_threadArg[freeSlot]) == 0) {
            slot.state = THREAD_RUNNING;
            slot.function = function;
            g_running.fetch_add(1, std::memory_order_relaxed);
            rc = 0;
        }
    }
    pthread_mutex_unlock(&g_threadMutex);
    return rc;
}

// Caller holds g_readyMutex. The first task on the ready list that is not
// waiting for a thread slot in the current pass; *skipped tells whether any
// task was passed over for that reason.
TQ_Task* NextReady(bool* skipped) {
    *skipped = false;
    for (ListNode* n = g_readyList.next; n != &g_readyList; n = n->next) {
        TQ_Task* t = TaskOf(n);
        if (t->place != PLACE_READY) continue;
        if (t->skipPass == g_pass) {
            *skipped = true;
            continue;
        }
        return t;
    }
    return nullptr;
}

void* TQ_Exec(void*) {
    printf("%s started\n", "TQ_Exec");
    fflush(stdout);
    pthread_mutex_lock(&g_readyMutex);
    for (;;) {
        bool skipped = false;
        TQ_Task* t = NextReady(&skipped);
        if (t == nullptr) {
            // Nothing to start: sleep until the tick readies a task or a
            // thread slot comes free. Tasks waiting for a slot are retried at
            // least once per tick, in case a thread could not be created.
            if (!g_retry) {
                if (skipped) {
                    struct timespec deadline;
                    TMR_AbsTimeMs(&deadline, TQ_TICK_MS);
                    if (pthread_cond_timedwait(&g_execCond, &g_readyMutex, &deadline) ==
                        ETIMEDOUT) {
                        g_retry = true;
                    }
                } else {
                    pthread_cond_wait(&g_execCond, &g_readyMutex);
                }
            }
            if (g_retry) {
                g_retry = false;
                if (++g_pass == 0) g_pass = 1;
            }
            continue;
        }

        t->place = PLACE_PICKED;
        TQ_TaskFn function = t->function;
        pthread_mutex_unlock(&g_readyMutex);
        const int started = function != nullptr ? StartFunction(function) : 0;
        pthread_mutex_lock(&g_readyMutex);
        if (started < 0 && t->removed == 0) {
            t->place = PLACE_READY;
            t->skipPass = g_pass;
            continue;
        }
        if (t->removed == 0) {
            LIST_Unlink(&t->link);
            g_ready.fetch_sub(1, std::memory_order_relaxed);
        }
        t->place = PLACE_LIMBO;
        pthread_mutex_unlock(&g_readyMutex);

        bool delayDone = false;
        pthread_mutex_lock(&g_timerMutex);
        if (t->removed != 0 || t->mode == TQ_MODE_ONESHOT) {
            Release(t);  // its handle-table entry now reads as stale
        } else if (t->mode == TQ_MODE_PERIODIC) {
            Rearm(t);
        } else {
            delayDone = true;  // the waiting TQ_Delay caller releases it
        }
        pthread_mutex_unlock(&g_timerMutex);

        if (delayDone) {
            pthread_mutex_lock(&g_delayMutex);
            t->delayDone = 1;
            pthread_cond_broadcast(&g_delayCond);
            pthread_mutex_unlock(&g_delayMutex);
        }
        pthread_mutex_lock(&g_readyMutex);
    }
    return nullptr;
}

// Takes both list mutexes without ever blocking on them: a holder keeps them
// only for a few list operations, so a short retry nearly always succeeds.
bool TickTryLock() {
    for (int attempt = 0; attempt < TICK_LOCK_ATTEMPTS; ++attempt) {
        if (attempt > 0) TMR_SleepMs(1);
        if (g_tickStop.load()) return false;
        if (pthread_mutex_trylock(&g_timerMutex) != 0) continue;
        if (pthread_mutex_trylock(&g_readyMutex) == 0) return true;
        pthread_mutex_unlock(&g_timerMutex);
    }
    return false;
}

// One tick: count every waiting task down and move the expired ones, in list
// order, to the tail of the ready list. If the lists stay busy the tick is
// let go by: every task then misses this one decrement.
void TickWalk() {
    if (!TickTryLock()) return;
    g_tickCount.fetch_add(1, std::memory_order_relaxed);
    bool moved = false;
    ListNode* n = g_timerList.next;
    while (n != &g_timerList) {
        ListNode* next = n->next;
        TQ_Task* t = TaskOf(n);
        if (--t->countdown <= 0) {
            LIST_Unlink(&t->link);
            LIST_InsertBefore(&t->link, &g_readyList);
            g_waiting.fetch_sub(1, std::memory_order_relaxed);
            g_ready.fetch_add(1, std::memory_order_relaxed);
            t->expired = 1;
            t->place = PLACE_READY;
            t->skipPass = 0;
            moved = true;
        }
        n = next;
    }
    if (moved) pthread_cond_signal(&g_execCond);
    UnlockBoth();
}

void* TQ_Tick(void*) {
    struct timespec deadline;
    TMR_AbsTimeMs(&deadline, TQ_TICK_MS);
    for (;;) {
        pthread_mutex_lock(&g_tickMutex);
        while (!g_tickStop.load()) {
            if (pthread_cond_timedwait(&g_tickCond, &g_tickMutex, &deadline) == ETIMEDOUT) break;
        }
        pthread_mutex_unlock(&g_tickMutex);
        if (g_tickStop.load()) break;
        // The next deadline is fixed before the walk, so the walk does not
        // stretch the tick.
        TMR_AbsTimeMs(&deadline, TQ_TICK_MS);
        TickWalk();
    }
    return nullptr;
}

// One pass over the thread table: joins every finished thread and frees its
// slot. Returns whether any slot was freed.
bool ReapFinished() {
    bool freed = false;
    for (int i = 0; i < TQ_SIZE; ++i) {
        pthread_mutex_lock(&g_threadMutex);
        const bool finished = g_threads[i].state == THREAD_FINISHED;
        const pthread_t handle = g_threads[i].handle;
        pthread_mutex_unlock(&g_threadMutex);
        if (!finished) continue;
        pthread_join(handle, nullptr);
        pthread_mutex_lock(&g_threadMutex);
        g_threads[i].function = nullptr;
        g_threads[i].state = THREAD_FREE;
        g_running.fetch_sub(1, std::memory_order_relaxed);
        pthread_mutex_unlock(&g_threadMutex);
        freed = true;
    }
    return freed;
}

bool AnyFinished() {
    bool any = false;
    pthread_mutex_lock(&g_threadMutex);
    for (const TQ_Thread& slot : g_threads) {
        if (slot.state == THREAD_FINISHED) {
            any = true;
            break;
        }
    }
    pthread_mutex_unlock(&g_threadMutex);
    return any;
}

}  // namespace

int TQ_Init() {
    pthread_mutex_lock(&g_initMutex);
    // The queue runs once per process; a second call starts nothing.
    int rc = -1;
    if (!g_started) {
        g_started = true;
        for (int i = 0; i < TQ_SIZE; ++i) g_threadArg[i] = i;
        TMR_CondInit(&g_execCond);
        TMR_CondInit(&g_tickCond);
        pthread_create(&g_execThread, nullptr, TQ_Exec, nullptr);
        SYS_EVT_Register(SYS_EVT_TQ_REAP, TQ_Reap);
        pthread_create(&g_tickThread, nullptr, TQ_Tick, nullptr);
        rc = 0;
    }
    pthread_mutex_unlock(&g_initMutex);
    return rc;
}

int TQ_Add(int periodMs, TQ_TaskFn function, int periodic) {
    pthread_mutex_lock(&g_timerMutex);
    TQ_Task* t = Allocate();
    int handle = -1;
    if (t != nullptr) {
        if (g_ring > TQ_SIZE - 1) g_ring = 0;
        handle = g_ring++;
        g_handles[handle] = TQ_Handle{t, t->generation};
        Arm(t, periodMs, function, periodic == 1 ? TQ_MODE_PERIODIC : TQ_MODE_ONESHOT);
    }
    pthread_mutex_unlock(&g_timerMutex);
    return handle;
}

int TQ_Delay(int ms) {
    pthread_mutex_lock(&g_timerMutex);
    TQ_Task* t = Allocate();
    if (t != nullptr) Arm(t, ms, nullptr, TQ_MODE_DELAY);
    pthread_mutex_unlock(&g_timerMutex);
    if (t == nullptr) return 0;

    // Wait until the executor has taken the record off the ready list; only
    // then may it be released and reused.
    pthread_mutex_lock(&g_delayMutex);
    while (t->delayDone == 0) pthread_cond_wait(&g_delayCond, &g_delayMutex);
    t->delayDone = 0;
    pthread_mutex_unlock(&g_delayMutex);

    pthread_mutex_lock(&g_timerMutex);
    Release(t);
    pthread_mutex_unlock(&g_timerMutex);
    return 0;
}

int TQ_SetPeriod(int handle, int periodMs) {
    if (handle < 0 || handle >= TQ_SIZE) return -1;
    LockBoth();
    TQ_Task* t = Lookup(static_cast<unsigned>(handle));
    if (t != nullptr) t->reload = PeriodToTicks(periodMs);
    UnlockBoth();
    return 0;
}

int TQ_SetOneShot(unsigned handle) {
    if (handle >= static_cast<unsigned>(TQ_SIZE)) return -1;
    LockBoth();
    TQ_Task* t = Lookup(handle);
    if (t != nullptr) t->mode = TQ_MODE_ONESHOT;
    UnlockBoth();
    return 0;
}

int TQ_Remove(unsigned handle) {
    if (handle >= static_cast<unsigned>(TQ_SIZE)) return -1;
    LockBoth();
    TQ_Task* t = Lookup(handle);
    if (t != nullptr) {
        switch (t->place) {
            case PLACE_TIMER:
            case PLACE_READY:
                LIST_Unlink(&t->link);
                (t->place == PLACE_TIMER ? g_waiting : g_ready)
                    .fetch_sub(1, std::memory_order_relaxed);
                Release(t);
                break;
            case PLACE_PICKED:
                // The executor is starting it: take it off the ready list and
                // count it now; the executor releases the record when it is
                // done with it instead of re-arming it.
                LIST_Unlink(&t->link);
                g_ready.fetch_sub(1, std::memory_order_relaxed);
                g_free.fetch_add(1, std::memory_order_relaxed);
                t->removed = 1;
                break;
            case PLACE_LIMBO:
                if (t->removed == 0) {
                    g_free.fetch_add(1, std::memory_order_relaxed);
                    t->removed = 1;
                }
                break;
            default:
                break;
        }
    }
    g_handles[handle] = TQ_Handle{nullptr, 0};
    UnlockBoth();
    return 0;
}

int TQ_StopTimer() {
    pthread_mutex_lock(&g_initMutex);
    const bool started = g_started;
    pthread_mutex_unlock(&g_initMutex);
    if (!started) return -1;
    if (g_tickStop.exchange(true)) return 0;
    pthread_mutex_lock(&g_tickMutex);
    pthread_cond_signal(&g_tickCond);
    pthread_mutex_unlock(&g_tickMutex);
    // Once this returns no further tick is made.
    return pthread_join(g_tickThread, nullptr);
}

int TQ_GetStats(TQ_Stats* stats) {
    stats->free = g_free.load(std::memory_order_relaxed);
    stats->waiting = g_waiting.load(std::memory_order_relaxed);
    stats->ready = g_ready.load(std::memory_order_relaxed);
    stats->running = g_running.load(std::memory_order_relaxed);
    return 0;
}

uint32_t TQ_TickCount() {
    return g_tickCount.load(std::memory_order_relaxed);
}

int TQ_ThreadDone(int slot) {
    if (slot < 0 || slot >= TQ_SIZE) return -1;
    pthread_mutex_lock(&g_threadMutex);
    // Only a running slot can finish; a stray call for a free slot must not
    // make the reaper join a thread that is not there.
    if (g_threads[slot].state == THREAD_RUNNING) g_threads[slot].state = THREAD_FINISHED;
    pthread_mutex_unlock(&g_threadMutex);
    return SYS_EVT_Signal(SYS_EVT_TQ_REAP);
}

void TQ_Reap() {
    bool freed = false;
    // A thread that finishes during a pass signals event 1008 again, so the
    // dispatcher comes back; the loop only covers a reap that was refused
    // because another one was under way.
    while (!g_reapBusy.exchange(true)) {
        if (ReapFinished()) freed = true;
        g_reapBusy.store(false);
        if (!AnyFinished()) break;
    }
    if (freed) {
        pthread_mutex_lock(&g_readyMutex);
        g_retry = true;
        pthread_cond_signal(&g_execCond);
        pthread_mutex_unlock(&g_readyMutex);
    }
}
