#include "hw/memdrv.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The driver descriptor: -1 while closed. Every register access opens the
// driver, issues one request and closes it again. The mutex spans that whole
// sequence, so one thread can never close the descriptor another thread is
// about to use (which would lose that access silently).
int memdrvFd = -1;
pthread_mutex_t memdrvMutex = PTHREAD_MUTEX_INITIALIZER;

int OpenLocked() {
    if (memdrvFd > 0) return 1;
    memdrvFd = open(MEMDRV_PATH, MEMDRV_OPEN_FLAGS);
    return memdrvFd >= 0 ? 2 : 0;
}

void CloseLocked() {
    close(memdrvFd);
    memdrvFd = -1;
}

}  // namespace

int MEMDRV_Open() {
    pthread_mutex_lock(&memdrvMutex);
    int opened = OpenLocked();
    pthread_mutex_unlock(&memdrvMutex);
    return opened;
}

void MEMDRV_Close() {
    pthread_mutex_lock(&memdrvMutex);
    CloseLocked();
    pthread_mutex_unlock(&memdrvMutex);
}

int MEMDRV_Descriptor() {
    pthread_mutex_lock(&memdrvMutex);
    int fd = memdrvFd;
    pthread_mutex_unlock(&memdrvMutex);
    return fd;
}

int MEMDRV_Ioctl(int request, MemdrvRequest* record) {
    // open and close are cancellation points; interrupt reader threads are
    // cancelled and may be inside a register access. Cancelling there would
    // leave the mutex held and the descriptor open, so the access runs to
    // its end and the cancellation takes effect at the thread's next
    // cancellation point.
    int oldState;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &oldState);
    pthread_mutex_lock(&memdrvMutex);
    int opened = OpenLocked();
    ioctl(memdrvFd, request, record);
    if (opened == 2) CloseLocked();
    pthread_mutex_unlock(&memdrvMutex);
    pthread_setcancelstate(oldState, nullptr);
    return 0;
}
