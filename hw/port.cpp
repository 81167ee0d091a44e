#include "hw/port.h"

#include "hw/reg.h"
#include "rt/tmr.h"

namespace {

constexpr int kPolls = 12;          // status reads per byte put / get
constexpr int kTxDoneWaits = 8000;  // waits for the transmitter to finish

uint8_t ReadStatus() {
    uint8_t status = 0;
    REG_Read(REG_WIDTH_8, PORT_STATUS, &status);
    return status;
}

uint8_t ReadData() {
    uint8_t b = 0;
    REG_Read(REG_WIDTH_8, PORT_RXDATA, &b);
    return b;
}

}  // namespace

int PORT_RxEmpty() {
    return (ReadStatus() & PORT_ST_RXEMPTY) != 0 ? 1 : 0;
}

int PORT_TxDone() {
    return (ReadStatus() & PORT_ST_TXDONE) != 0 ? 1 : 0;
}

int PORT_PutByte(uint8_t b) {
    for (int read = 1; (ReadStatus() & PORT_ST_TXFULL) != 0; ++read) {
        if (read == kPolls) return 1;
        TMR_BusyWaitUs(10);
    }
    REG_Write(REG_WIDTH_8, PORT_TXDATA, b);
    TMR_BusyWaitUs(10);
    return 0;
}

void PORT_StartTx() {
    REG_Write(REG_WIDTH_8, PORT_TXSTART, 1);
}

int PORT_SendByte(uint8_t b) {
    int result = PORT_PutByte(b);
    if (result == 0) PORT_StartTx();
    return result;
}

int PORT_GetByte(uint8_t* dest) {
    for (int poll = 1; PORT_RxEmpty() == 1; ++poll) {
        if (poll == kPolls) return 1;
        TMR_BusyWaitUs(100);
    }
    *dest = ReadData();
    TMR_BusyWaitUs(10);
    return 0;
}

void PORT_FlushRx() {
    for (int removed = 0;;) {
        if (PORT_RxEmpty() == 1) break;
        ReadData();
        ++removed;
        if (removed == PORT_BURST_MAX) break;
        TMR_BusyWaitUs(100);
    }
    TMR_BusyWaitUs(100);
}

int PORT_WaitTxDone() {
    for (int waits = 0; PORT_TxDone() == 0; ++waits) {
        if (waits == kTxDoneWaits) return -1;
        TMR_BusyWaitUs(50);
    }
    PORT_FlushRx();
    return 0;
}

int PORT_ReadBurst(uint8_t* buf) {
    for (int poll = 1; PORT_RxEmpty() == 1; ++poll) {
        if (poll == kPolls) return -1;
        TMR_BusyWaitUs(500);
    }
    TMR_SleepMs(20);
    int count = 0;
    while (PORT_RxEmpty() == 0) {
        buf[count] = ReadData();
        ++count;
        if (count == PORT_BURST_MAX) return -1;
    }
    return count;
}
