// FPGA interrupt registers.
#include "hw/fpga.h"

#include "hw/port.h"
#include "hw/reg.h"

int FPGA_IrqEnable(int value, int source) {
    uint8_t reg = 0;
    REG_Read(REG_WIDTH_8, PORT_IRQENABLE, &reg);
    const uint8_t bit = FPGA_SourceBit(source);
    if ((value & 1) != 0) {
        reg = static_cast<uint8_t>(reg | bit);
    } else {
        reg = static_cast<uint8_t>(reg & ~bit);
    }
    REG_Write(REG_WIDTH_8, PORT_IRQENABLE, reg);
    return 0;
}

int FPGA_IrqWriteBit(int source) {
    const uint8_t bit = FPGA_SourceBit(source);
    if (bit == 0) return -1;
    REG_Write(REG_WIDTH_8, PORT_IRQBITS, bit);
    return 0;
}
