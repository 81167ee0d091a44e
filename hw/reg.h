// Register access: one read or write of an 8-, 16- or 32-bit register.
#pragma once

#include <cstdint>

constexpr int REG_WIDTH_8 = 0;
constexpr int REG_WIDTH_16 = 1;
constexpr int REG_WIDTH_32 = 2;

// result points to a uint8_t, uint16_t or uint32_t matching the width.
int REG_Read(int width, uint32_t address, void* result);
int REG_Write(int width, uint32_t address, int value);

// The processor's 32-bit registers that are handled bit by bit (GPIO,
// interrupt controller, board configuration) travel through the driver
// byte-reversed. These read the register and return its true bit image, and
// write a true bit image back, reversing it with BO_SwapWord on the way.
uint32_t REG_ReadSwapped32(uint32_t address);
void REG_WriteSwapped32(uint32_t address, uint32_t value);

// Bit of a pin or interrupt number in a 32-bit word; 0 (no bit) outside 0..31.
constexpr uint32_t REG_Bit(int bit) {
    return bit >= 0 && bit < 32 ? 1u << bit : 0u;
}
