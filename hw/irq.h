// The processor's interrupt controller: one enable bit per interrupt number.
#pragma once

#include <cstdint>

constexpr uint32_t IRQ_ENABLE = 0xC8003004u;

constexpr int IRQ_ON = 1;
constexpr int IRQ_OFF = 0;

// on = IRQ_ON sets interrupt n's enable bit, IRQ_OFF clears it, any other
// value leaves the word as read. Prints the register, mask and both forms
// of the new word; returns 0.
int IRQ_SetEnable(int on, int n);
