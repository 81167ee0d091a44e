#include "rt/sys_evt.h"

#include <pthread.h>

#include <cstdint>
#include <cstdio>

#include "rt/list.h"

namespace {

// One registration. The link comes first so that a list node is the slot.
struct SysEvtSlot {
    ListNode link;
    int32_t event;
    SYS_EVT_Handler handler;
    int32_t pending;
    int32_t inUse;
    // Position in registration order; grows along the list from head to tail.
    // The dispatcher remembers how far a walk has got by this number, so the
    // walk stays valid while slots are unregistered and re-registered.
    uint64_t order;
};

// Everything below starts out in the state of an empty registry, so that a
// registration or a signal made before SYS_EVT_Init is still sound.
SysEvtSlot g_slots[SYS_EVT_SLOTS];
ListNode g_list = {&g_list, &g_list};
uint64_t g_nextOrder = 1;
pthread_mutex_t g_registryMutex = PTHREAD_MUTEX_INITIALIZER;

// The wake flag is set by every signal that marked something and cleared by
// the dispatcher before it walks, so a wake-up given while the dispatcher is
// busy is not lost.
pthread_mutex_t g_wakeMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_wakeCond = PTHREAD_COND_INITIALIZER;
int g_wakeFlag = 0;

pthread_mutex_t g_initMutex = PTHREAD_MUTEX_INITIALIZER;
bool g_started = false;
pthread_t g_thread;

SysEvtSlot* SlotOf(ListNode* node) {
    return reinterpret_cast<SysEvtSlot*>(node);
}

int Mark(int event, bool all) {
    int count = 0;
    pthread_mutex_lock(&g_registryMutex);
    for (ListNode* n = g_list.next; n != &g_list; n = n->next) {
        SysEvtSlot* s = SlotOf(n);
        if (s->event != event) continue;
        s->pending = 1;
        ++count;
        if (!all) break;
    }
    pthread_mutex_unlock(&g_registryMutex);
    return count;
}

int SignalEvent(int event, bool all) {
    if (Mark(event, all) == 0) return -1;
    pthread_mutex_lock(&g_wakeMutex);
    g_wakeFlag = 1;
    pthread_cond_signal(&g_wakeCond);
    pthread_mutex_unlock(&g_wakeMutex);
    return 0;
}

// Takes the next pending registration of the current walk: the first pending
// slot in list order that lies beyond the walk position *after. Clears its
// flag, moves the walk position to it and hands out its handler. Returns 0
// when one was taken, 1 when the walk is over but slots behind it are pending
// (a new walk is due), -1 when nothing is pending at all.
int TakeNextPending(uint64_t* after, SYS_EVT_Handler* handler) {
    int result = -1;
    pthread_mutex_lock(&g_registryMutex);
    for (ListNode* n = g_list.next; n != &g_list; n = n->next) {
        SysEvtSlot* s = SlotOf(n);
        if (s->pending != 1) continue;
        if (s->order > *after) {
            s->pending = 0;
            *after = s->order;
            *handler = s->handler;
            result = 0;
            break;
        }
        result = 1;
    }
    pthread_mutex_unlock(&g_registryMutex);
    return result;
}

void* SYS_EVT_Process(void*) {
    printf("%s started\n", "SYS_EVT_Process");
    fflush(stdout);
    for (;;) {
        pthread_mutex_lock(&g_wakeMutex);
        while (g_wakeFlag == 0) pthread_cond_wait(&g_wakeCond, &g_wakeMutex);
        g_wakeFlag = 0;
        pthread_mutex_unlock(&g_wakeMutex);

        // Walk in registration order, running one handler at a time with no
        // lock held; walk again as long as anything is left pending.
        uint64_t after = 0;
        for (;;) {
            SYS_EVT_Handler handler = nullptr;
            const int r = TakeNextPending(&after, &handler);
            if (r < 0) break;
            if (r > 0) {
                after = 0;
                continue;
            }
            if (handler != nullptr) handler();
        }
    }
    return nullptr;
}

}  // namespace

int SYS_EVT_Init() {
    pthread_mutex_lock(&g_initMutex);
    // One dispatcher per process: a second call starts nothing and leaves
    // the registrations as they are.
    int rc = -1;
    if (!g_started) {
        rc = pthread_create(&g_thread, nullptr, SYS_EVT_Process, nullptr);
        g_started = (rc == 0);
    }
    pthread_mutex_unlock(&g_initMutex);
    return rc;
}

int SYS_EVT_Register(int event, SYS_EVT_Handler handler) {
    int index = -1;
    pthread_mutex_lock(&g_registryMutex);
    for (int i = 0; i < SYS_EVT_SLOTS; ++i) {
        if (g_slots[i].inUse == 0) {
            index = i;
            break;
        }
    }
    if (index >= 0) {
        SysEvtSlot* s = &g_slots[index];
        s->event = event;
        s->handler = handler;
        s->pending = 0;
        s->inUse = 1;
        s->order = g_nextOrder++;
        LIST_InsertBefore(&s->link, &g_list);
    }
    pthread_mutex_unlock(&g_registryMutex);
    return index;
}

int SYS_EVT_Unregister(unsigned slot) {
    if (slot >= static_cast<unsigned>(SYS_EVT_SLOTS)) return 0;
    int rc = -1;
    pthread_mutex_lock(&g_registryMutex);
    SysEvtSlot* s = &g_slots[slot];
    if (s->inUse == 1) {
        LIST_Unlink(&s->link);
        s->event = 0;
        s->handler = nullptr;
        s->pending = 0;
        s->inUse = 0;
        rc = 0;
    }
    pthread_mutex_unlock(&g_registryMutex);
    return rc;
}

int SYS_EVT_Signal(int event) {
    return SignalEvent(event, false);
}

int SYS_EVT_SignalAll(int event) {
    return SignalEvent(event, true);
}
