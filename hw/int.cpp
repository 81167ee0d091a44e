// Interrupt lines in user space: node creation, GPIO set-up, reader threads,
// and the interrupt counters.
#include "hw/int.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "hw/fpga.h"
#include "hw/gpio.h"
#include "hw/memdrv.h"
#include "hw/port.h"
#include "hw/reg.h"
#include "odu/lnk.h"
#include "rt/sys_evt.h"
#include "rt/tmr.h"

std::atomic<int> int_fd[INT_LINE_COUNT] = {};

namespace {

constexpr int kPathSize = 32;
constexpr int kCommandSize = 256;
constexpr int kReadBufSize = 32;
constexpr int kOduRxReadLen = 27;
constexpr uint8_t kOduRxCauses = 0x03;  // PORT_IRQSTATUS bits 0 and 1
constexpr int kTxStartTries = 12;
constexpr int kTxStartWaitUs = 100;

// Reader thread of a line; touched only by the (serialised) callers that
// switch lines on and off.
struct LineThread {
    pthread_t handle;
    bool running;
};
LineThread lineThread[INT_LINE_COUNT];

std::atomic<int32_t> irqCurrent[IRQ_CNT_COUNT];
std::atomic<int32_t> irqSnapshot[IRQ_CNT_COUNT];

std::atomic<int32_t> scaledSetting{INT_SCALED_SETTING_INITIAL};

int intPin(int line) {
    return line - INT_PIN_OFFSET;
}

void intNodePath(char* path, int line) {
    snprintf(path, kPathSize, "/dev/int%d", line);
}

// Opens a line's node. A descriptor of 0 counts as a failed open, so it is
// given back rather than kept unused.
int intOpenNode(const char* path) {
    const int fd = open(path, MEMDRV_OPEN_FLAGS);
    if (fd == 0) close(fd);
    return fd;
}

// Starts a line's reader thread once its descriptor is in int_fd. If no
// thread can be made the line is switched back off: an open node nobody
// reads would report a working line that never delivers an interrupt.
int intStartThread(int line, void* (*entry)(void*)) {
    LineThread& t = lineThread[line];
    if (pthread_create(&t.handle, nullptr, entry, nullptr) != 0) {
        t.running = false;
        close(int_fd[line].load());
        int_fd[line].store(0);
        return -1;
    }
    t.running = true;
    return 0;
}

// Cancels a line's reader thread and waits until it has gone, so that its
// descriptor can be closed without the thread still using it, then closes
// the descriptor.
void intStopThread(int line) {
    LineThread& t = lineThread[line];
    if (t.running) {
        pthread_cancel(t.handle);
        pthread_join(t.handle, nullptr);
        t.running = false;
    }
    close(int_fd[line].load());
    int_fd[line].store(0);
}

// One pass of a reader loop: blocks until the line fires. Returns true for
// an interrupt. A read that fails (a driver that refuses reads) is no
// interrupt: the thread backs off instead of spinning a core.
bool intWaitLine(int line, int readLen) {
    uint8_t buf[kReadBufSize];
    const ssize_t n = read(int_fd[line].load(), buf, static_cast<size_t>(readLen));
    const int err = errno;
    pthread_testcancel();
    if (n >= 0) return true;
    if (err == EINTR) return false;  // not a refusal: read again at once
    int old = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    TMR_SleepMs(INT_FAILED_READ_BACKOFF_MS);
    pthread_setcancelstate(old, nullptr);
    pthread_testcancel();
    return false;
}

// Reader loop of lines 20 and 22: one event per interrupt. The thread is
// cancelled only while it waits in read or after it, never while it holds
// a lock of the event dispatcher.
void* intEventReader(int line, int readLen, int event) {
    for (;;) {
        if (!intWaitLine(line, readLen)) continue;
        int old = 0;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
        SYS_EVT_Signal(event);  // -1 when nobody listens: nothing to do
        pthread_setcancelstate(old, nullptr);
    }
    return nullptr;
}

// Opens a line's node and, when that works, records the descriptor, reports
// it and starts the reader thread. -1 when the node does not open.
int intOpenAndStart(int line, const char* path, void* (*entry)(void*)) {
    const int fd = intOpenNode(path);
    if (fd <= 0) return -1;
    int_fd[line].store(fd);
    printf("int_fd[%d]=%d\n", line, fd);
    return intStartThread(line, entry);
}

int intLineStart(int line, void (*gpio)(int), void* (*entry)(void*)) {
    if (int_fd[line].load() > 0) return -1;
    char path[kPathSize];
    intNodePath(path, line);
    if (INT_MakeNode(path, INT_NODE_MODE, INT_NODE_MAJOR, line) == 0) {
        printf("%s - created\n", path);
    } else {
        printf("%s - exists\n", path);
    }
    gpio(INT_GPIO_SETUP);
    return intOpenAndStart(line, path, entry);
}

// Set-up (direction and interrupt type) or acknowledgement of a line's pin.
void intLineGpio(int line, int mode) {
    const int pin = intPin(line);
    if (mode == INT_GPIO_SETUP) {
        GPIO_SetDirection(pin, 1);
        GPIO_SetIrqType(pin, INT_IRQ_TYPE);
    } else if (mode == INT_GPIO_ACK) {
        GPIO_IrqAck(pin);
    }
}

}  // namespace

int INT_MakeNode(const char* path, int permission, int major, int minor) {
    char command[kCommandSize];
    snprintf(command, sizeof command, "mknod -m %d %s c %d %d", permission, path, major, minor);
    return system(command);
}

int INT_OduRxMode(int mode) {
    const int line = INT_LINE_ODU_RX;
    if (mode == INT_MODE_ON) {
        LNK_RxIrqMode.store(1);
        if (int_fd[line].load() <= 0) {
            char path[kPathSize];
            intNodePath(path, line);
            INT_MakeNode(path, INT_NODE_MODE, INT_NODE_MAJOR, line);
            intLineGpio(line, INT_GPIO_SETUP);
            intOpenAndStart(line, path, INT_OduRxThread);
        }
        FPGA_IrqEnable(1, FPGA_SRC_ODU_RX);
        return 0;
    }
    if (mode == INT_MODE_OFF) {
        LNK_RxIrqMode.store(0);
        if (int_fd[line].load() > 0) intStopThread(line);
        FPGA_IrqEnable(0, FPGA_SRC_ODU_RX);
        return 0;
    }
    return mode;
}

int INT_OduRxStart() {
    INT_OduRxMode(INT_MODE_ON);
    for (int i = 0;; i++) {
        if (PORT_TxDone() == 1) {
            PORT_FlushRx();
            return 0;
        }
        PORT_StartTx();
        if (i == kTxStartTries - 1) return 1;
        TMR_BusyWaitUs(kTxStartWaitUs);
    }
}

// Wakes the link's answer wait whenever the ODU serial port reports received
// data. The signal is sent without the wait's mutex: a wake-up that comes
// before the wait has begun is lost and the wait runs to its deadline.
void* INT_OduRxThread(void*) {
    for (;;) {
        if (!intWaitLine(INT_LINE_ODU_RX, kOduRxReadLen)) continue;
        // Not cancelled in the middle of a register access, which holds the
        // register driver's lock.
        int old = 0;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
        uint8_t status = 0;
        REG_Read(REG_WIDTH_8, PORT_IRQSTATUS, &status);
        if ((status & kOduRxCauses) != 0) pthread_cond_signal(&LNK_RxCond);
        pthread_setcancelstate(old, nullptr);
    }
    return nullptr;
}

int INT_Line20Start() {
    return INT_Line20Ctl(INT_MODE_ON);
}
int INT_Line20Stop() {
    return INT_Line20Ctl(INT_MODE_OFF);
}
int INT_Line22Start() {
    return INT_Line22Ctl(INT_MODE_ON);
}
int INT_Line22Stop() {
    return INT_Line22Ctl(INT_MODE_OFF);
}

int INT_Line20Ctl(int mode) {
    const int line = INT_LINE_20;
    if (mode == INT_MODE_ON) return intLineStart(line, INT_Line20Gpio, INT_Line20Thread);
    if (mode != INT_MODE_OFF) return 0;
    if (int_fd[line].load() <= 0) return -1;
    intStopThread(line);
    INT_Line20Gpio(INT_GPIO_ACK);
    return 0;
}

int INT_Line22Ctl(int mode) {
    const int line = INT_LINE_22;
    if (mode == INT_MODE_ON) return intLineStart(line, INT_Line22Gpio, INT_Line22Thread);
    if (mode != INT_MODE_OFF) return 0;
    if (int_fd[line].load() <= 0) return -1;
    INT_Line22Gpio(INT_GPIO_ACK);
    intStopThread(line);
    return 0;
}

void INT_Line20Gpio(int mode) {
    intLineGpio(INT_LINE_20, mode);
}

void INT_Line22Gpio(int mode) {
    intLineGpio(INT_LINE_22, mode);
}

void* INT_Line20Thread(void*) {
    return intEventReader(INT_LINE_20, 20, SYS_EVT_INT20);
}
void* INT_Line22Thread(void*) {
    return intEventReader(INT_LINE_22, 22, SYS_EVT_INT22);
}

void INT_IrqCount(IrqCounter which) {
    const int i = static_cast<int>(which);
    if (i >= 0 && i < IRQ_CNT_COUNT) irqCurrent[i].fetch_add(1);
}

IrqCounts* INT_IrqDelta(IrqCounts* result) {
    int32_t d[IRQ_CNT_COUNT];
    for (int i = 0; i < IRQ_CNT_COUNT; i++) {
        const int32_t now = irqCurrent[i].load();
        // Wrapping difference: right across an overflow of the counter.
        d[i] = static_cast<int32_t>(static_cast<uint32_t>(now) -
                                    static_cast<uint32_t>(irqSnapshot[i].exchange(now)));
    }
    *result = IrqCounts{d[IRQ_CNT_CTLCH],      d[IRQ_CNT_FSK], d[IRQ_CNT_PVG],     d[IRQ_CNT_LIU],
                        d[IRQ_CNT_PUSHBUTTON], d[IRQ_CNT_PIC], d[IRQ_CNT_FAILOVER]};
    return result;
}

void INT_IrqPrint() {
    IrqCounts d;
    INT_IrqDelta(&d);
    printf("Delta IRQs: ctlch=%ld fsk=%ld pvg=%ld liu=%ld pushbutton=%ld pic=%ld failover=%ld\n",
           static_cast<long>(d.ctlch), static_cast<long>(d.fsk), static_cast<long>(d.pvg),
           static_cast<long>(d.liu), static_cast<long>(d.pushbutton), static_cast<long>(d.pic),
           static_cast<long>(d.failover));
}

int INT_SetScaledSetting(int n) {
    const int64_t scaled = static_cast<int64_t>(n) * INT_SCALE;
    const int64_t lo = INT32_MIN;
    const int64_t hi = INT32_MAX;
    scaledSetting.store(static_cast<int32_t>(scaled < lo ? lo : scaled > hi ? hi : scaled));
    return n;
}

int32_t INT_GetScaledSetting() {
    return scaledSetting.load();
}
