// Interrupt lines in user space. The board's interrupt driver offers one
// node "/dev/int<n>" per line (major 252, minor n) whose read blocks until
// the line fires. Switching a line on makes the node, configures the GPIO
// pin that carries it, opens the node and starts a reader thread that turns
// every interrupt into a wake-up:
//   line 27 (pin 10): the ODU receive interrupt, wakes the link's answer wait;
//   line 20 (pin 3):  raises event SYS_EVT_INT20;
//   line 22 (pin 5):  raises event SYS_EVT_INT22.
// Switching lines on and off takes no lock: callers serialise it.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int INT_NODE_MAJOR = 252;
constexpr int INT_NODE_MODE = 666;  // printed in decimal; mknod reads it as octal rw-rw-rw-
constexpr int INT_IRQ_TYPE = 3;     // GPIO interrupt type of every line
constexpr int INT_LINE_COUNT = 32;
constexpr int INT_LINE_ODU_RX = 27;
constexpr int INT_LINE_20 = 20;
constexpr int INT_LINE_22 = 22;
constexpr int INT_PIN_OFFSET = 17;  // GPIO pin = line - 17
constexpr int INT_FAILED_READ_BACKOFF_MS = 10;

constexpr int INT_MODE_ON = 0;  // INT_OduRxMode, INT_LineXXCtl
constexpr int INT_MODE_OFF = 1;
constexpr int INT_GPIO_SETUP = 1;  // INT_LineXXGpio
constexpr int INT_GPIO_ACK = 0;

// Open descriptor of each line's node while the line is on, else 0 or less.
extern std::atomic<int> int_fd[INT_LINE_COUNT];

// Interrupt counters, in the order of the print-out.
struct IrqCounts {
    int32_t ctlch;
    int32_t fsk;
    int32_t pvg;
    int32_t liu;
    int32_t pushbutton;
    int32_t pic;
    int32_t failover;
};

enum IrqCounter {
    IRQ_CNT_CTLCH,
    IRQ_CNT_FSK,
    IRQ_CNT_PVG,
    IRQ_CNT_LIU,
    IRQ_CNT_PUSHBUTTON,
    IRQ_CNT_PIC,
    IRQ_CNT_FAILOVER,
    IRQ_CNT_COUNT
};

constexpr int32_t INT_SCALE = 40960;
constexpr int32_t INT_SCALED_SETTING_INITIAL = 30 * INT_SCALE;

// Runs "mknod -m <permission> <path> c <major> <minor>"; result of system().
int INT_MakeNode(const char* path, int permission, int major, int minor);

// Mode INT_MODE_ON switches the ODU receive interrupt on, INT_MODE_OFF off;
// both return 0. Any other mode is returned unchanged and nothing happens.
int INT_OduRxMode(int mode);
// Switches the ODU receive interrupt on and brings the transmitter to its
// finished state: 0 = finished and receive FIFO flushed, 1 = not finished
// after 12 tries.
int INT_OduRxStart();
void* INT_OduRxThread(void* arg);

// 0 = started / stopped; -1 = already on (or the node failed to open) /
// was not on. The Ctl forms take INT_MODE_ON or INT_MODE_OFF; any other mode
// returns 0 and does nothing.
int INT_Line20Start();
int INT_Line20Stop();
int INT_Line20Ctl(int mode);
void INT_Line20Gpio(int mode);
void* INT_Line20Thread(void* arg);

int INT_Line22Start();
int INT_Line22Stop();
int INT_Line22Ctl(int mode);
void INT_Line22Gpio(int mode);
void* INT_Line22Thread(void* arg);

// Adds one to a counter (for interrupt handlers; nothing here counts).
void INT_IrqCount(IrqCounter which);
// Differences of the counters since the previous call (or since start);
// moves the snapshot to the current counts. Returns result.
IrqCounts* INT_IrqDelta(IrqCounts* result);
// Prints the differences since the previous snapshot and moves it.
void INT_IrqPrint();

// Stores n scaled by INT_SCALE (saturated to the 32-bit range); returns n.
int INT_SetScaledSetting(int n);
int32_t INT_GetScaledSetting();
