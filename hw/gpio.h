// GPIO pin operations on the processor's GPIO words. The words travel
// byte-reversed through the register driver: every access reads the word,
// reverses it, works on true bit numbers, reverses it back and writes it.
#pragma once

#include <cstdint>

constexpr uint32_t GPIO_DIRECTION = 0xC8004004u;   // 1 = pin carries an interrupt line
constexpr uint32_t GPIO_LEVEL = 0xC8004008u;       // current input level
constexpr uint32_t GPIO_IRQSTATUS = 0xC800400Cu;   // interrupt pending; write 1 to acknowledge
constexpr uint32_t GPIO_IRQTYPE_LO = 0xC8004010u;  // 3-bit type fields of pins 0..7
constexpr uint32_t GPIO_IRQTYPE_HI = 0xC8004014u;  // 3-bit type fields of pins 8..12

constexpr int GPIO_TYPE_BITS = 3;
constexpr int GPIO_TYPE_LO_PINS = 8;    // pins 0..7 in the low type word
constexpr int GPIO_TYPE_LAST_PIN = 12;  // highest pin with a type field

int GPIO_ReadPin(int pin);
int GPIO_IrqPending(int pin);
int GPIO_IrqAck(int pin);
int GPIO_SetIrqType(int pin, int type);
int GPIO_SetDirection(int pin, int value);
