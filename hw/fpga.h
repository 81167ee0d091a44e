// The FPGA's interrupt registers beside the ODU channel.
#pragma once

#include <cstdint>

// Source codes and the bit each one owns in the FPGA interrupt registers.
constexpr int FPGA_SRC_ODU_RX = 2;  // bit 0: the ODU receive interrupt
constexpr int FPGA_SRC_3 = 3;       // bit 1
constexpr int FPGA_SRC_0 = 0;       // bit 2

// The bit of a source code, 0 for a code that owns none.
constexpr uint8_t FPGA_SourceBit(int source) {
    return source == FPGA_SRC_ODU_RX ? 0x01
           : source == FPGA_SRC_3    ? 0x02
           : source == FPGA_SRC_0    ? 0x04
                                     : 0x00;
}

// Sets the source's bit of PORT_IRQENABLE to bit 0 of value; the register is
// written back (unchanged) even for a code without a bit. Returns 0.
int FPGA_IrqEnable(int value, int source);
// Writes the byte holding only the source's bit to PORT_IRQBITS; -1 (and no
// write) for a code without a bit.
int FPGA_IrqWriteBit(int source);
