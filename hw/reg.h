// Register access: one read or write of an 8-, 16- or 32-bit register.
#pragma once

#include <cstdint>

constexpr int REG_WIDTH_8 = 0;
constexpr int REG_WIDTH_16 = 1;
constexpr int REG_WIDTH_32 = 2;

// result points to a uint8_t, uint16_t or uint32_t matching the width.
int REG_Read(int width, uint32_t address, void* result);
int REG_Write(int width, uint32_t address, int value);
