// The ODU serial port: the FPGA's byte-wide channel to the outdoor unit,
// driven by polling its 8-bit registers.
#pragma once

#include <cstdint>

constexpr uint32_t PORT_IRQENABLE = 0x53000124u;
constexpr uint32_t PORT_IRQSTATUS = 0x53000126u;
constexpr uint32_t PORT_IRQBITS = 0x5300012Cu;  // written whole by the FPGA interrupt operations
constexpr uint32_t PORT_TXSTART = 0x5300012Fu;
constexpr uint32_t PORT_RXDATA = 0x53000133u;
constexpr uint32_t PORT_STATUS = 0x53000134u;
constexpr uint32_t PORT_TXDATA = 0x53000135u;

constexpr uint8_t PORT_ST_RXEMPTY = 0x80;  // receive FIFO empty
constexpr uint8_t PORT_ST_TXDONE = 0x20;   // transmitter finished
constexpr uint8_t PORT_ST_TXFULL = 0x10;   // transmit FIFO full

constexpr int PORT_BURST_MAX = 128;

int PORT_RxEmpty();
int PORT_TxDone();
int PORT_PutByte(uint8_t b);
void PORT_StartTx();
int PORT_SendByte(uint8_t b);
int PORT_GetByte(uint8_t* dest);
void PORT_FlushRx();
int PORT_WaitTxDone();
int PORT_ReadBurst(uint8_t* buf);
