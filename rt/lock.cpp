// Named lock table: 25 numbered mutexes shared by all threads.
#include "rt/lock.h"

#include <errno.h>
#include <unistd.h>

#include "rt/tmr.h"

namespace {

LockEntry g_locks[LOCK_COUNT];

bool ValidIndex(int index) {
    return index >= 0 && index < LOCK_COUNT;
}

void MarkHeld(LockEntry& e, int held) {
    e.held.store(held);
    e.pid.store(static_cast<int32_t>(getpid()));
}

}  // namespace

int LOCK_MutexCreate(pthread_mutex_t* mutex, int type) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, type);
    const int rc = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

int LOCK_Init() {
    for (LockEntry& e : g_locks) {
        // An entry already in use keeps its mutex: it may be held right now.
        if (e.inUse.load() != 0) continue;
        e.inUse.store(1);
        e.held.store(0);
        e.pid.store(0);
        LOCK_MutexCreate(&e.mutex, 0);
    }
    return 0;
}

int LOCK_Take(int index) {
    if (!ValidIndex(index)) return EINVAL;
    LockEntry& e = g_locks[index];
    const int rc = pthread_mutex_lock(&e.mutex);
    if (rc == 0) MarkHeld(e, 1);
    return rc;
}

int LOCK_TakeTimed(int index, int limitUs) {
    if (!ValidIndex(index)) return EINVAL;
    LockEntry& e = g_locks[index];
    TmrDeadline d{};
    TMR_DeadlineStart(&d);
    for (;;) {
        const int rc = pthread_mutex_trylock(&e.mutex);
        if (rc == 0) {
            MarkHeld(e, 1);
            return 0;
        }
        if (TMR_DeadlineExpired(&d, limitUs) == 1) return rc;
    }
}

int LOCK_Give(int index) {
    if (!ValidIndex(index)) return EINVAL;
    LockEntry& e = g_locks[index];
    const int rc = pthread_mutex_unlock(&e.mutex);
    if (rc == 0) MarkHeld(e, 0);
    return rc;
}

int LOCK_Query(int index, int* held, int* pid) {
    if (!ValidIndex(index)) return -1;
    const LockEntry& e = g_locks[index];
    if (e.inUse.load() != 1) return -1;
    *held = e.held.load();
    *pid = e.pid.load();
    return 0;
}

int LOCK_Free(int index) {
    if (!ValidIndex(index)) return -1;
    LockEntry& e = g_locks[index];
    if (e.inUse.load() != 1) return -1;
    e.inUse.store(0);
    return 0;
}
