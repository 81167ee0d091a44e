// Named lock table: 25 numbered mutexes shared by all threads of the program.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

constexpr int LOCK_COUNT = 25;
constexpr int LOCK_ODU_LINK = 2;  // held for the whole of one ODU transaction

struct LockEntry {
    std::atomic<int32_t> inUse;
    std::atomic<int32_t> held;  // advisory
    std::atomic<int32_t> pid;   // advisory: last taker or giver
    pthread_mutex_t mutex;
};

int LOCK_Init();
int LOCK_Take(int index);
int LOCK_TakeTimed(int index, int limitUs);
int LOCK_Give(int index);
int LOCK_Query(int index, int* held, int* pid);
int LOCK_Free(int index);
int LOCK_MutexCreate(pthread_mutex_t* mutex, int type);
