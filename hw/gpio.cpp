// GPIO pin operations. Each one is a single 32-bit access or
// read-modify-write of a byte-reversed GPIO word; none takes a lock, so
// callers serialise writers of the same word.
#include "hw/gpio.h"

#include "hw/bo.h"
#include "hw/reg.h"

uint32_t GPIO_ReadWord(uint32_t address) {
    uint32_t raw = 0;
    REG_Read(REG_WIDTH_32, address, &raw);
    uint32_t value = 0;
    BO_SwapWord(raw, &value);
    return value;
}

void GPIO_WriteWord(uint32_t address, uint32_t value) {
    uint32_t raw = 0;
    BO_SwapWord(value, &raw);
    REG_Write(REG_WIDTH_32, address, static_cast<int>(raw));
}

int GPIO_ReadPin(int pin) {
    return (GPIO_ReadWord(GPIO_LEVEL) & GPIO_Mask(pin)) != 0 ? 1 : 0;
}

int GPIO_IrqPending(int pin) {
    return (GPIO_ReadWord(GPIO_IRQSTATUS) & GPIO_Mask(pin)) != 0 ? 1 : 0;
}

int GPIO_IrqAck(int pin) {
    GPIO_WriteWord(GPIO_IRQSTATUS, GPIO_ReadWord(GPIO_IRQSTATUS) | GPIO_Mask(pin));
    return 0;
}

int GPIO_SetIrqType(int pin, int type) {
    if (pin < 0 || pin > GPIO_TYPE_LAST_PIN) return 0;
    const uint32_t address = pin < GPIO_TYPE_LO_PINS ? GPIO_IRQTYPE_LO : GPIO_IRQTYPE_HI;
    const int shift = GPIO_TYPE_BITS * (pin < GPIO_TYPE_LO_PINS ? pin : pin - GPIO_TYPE_LO_PINS);
    constexpr uint32_t kField = (1u << GPIO_TYPE_BITS) - 1;
    // The type is cut to its 3-bit field so that a wrong value cannot spill
    // into the neighbouring pin's field.
    const uint32_t bits = (static_cast<uint32_t>(type) & kField) << shift;
    GPIO_WriteWord(address, (GPIO_ReadWord(address) & ~(kField << shift)) | bits);
    return 0;
}

int GPIO_SetDirection(int pin, int value) {
    uint32_t word = GPIO_ReadWord(GPIO_DIRECTION);
    if (value == 1) {
        word |= GPIO_Mask(pin);
    } else {
        word &= ~GPIO_Mask(pin);
    }
    GPIO_WriteWord(GPIO_DIRECTION, word);
    return 0;
}
