// GPIO pin operations. Each one is a single 32-bit access or
// read-modify-write of a byte-reversed GPIO word; none takes a lock, so
// callers serialise writers of the same word.
#include "hw/gpio.h"

#include "hw/reg.h"

int GPIO_ReadPin(int pin) {
    return (REG_ReadSwapped32(GPIO_LEVEL) & REG_Bit(pin)) != 0 ? 1 : 0;
}

int GPIO_IrqPending(int pin) {
    return (REG_ReadSwapped32(GPIO_IRQSTATUS) & REG_Bit(pin)) != 0 ? 1 : 0;
}

int GPIO_IrqAck(int pin) {
    REG_WriteSwapped32(GPIO_IRQSTATUS, REG_ReadSwapped32(GPIO_IRQSTATUS) | REG_Bit(pin));
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
    REG_WriteSwapped32(address, (REG_ReadSwapped32(address) & ~(kField << shift)) | bits);
    return 0;
}

int GPIO_SetDirection(int pin, int value) {
    uint32_t word = REG_ReadSwapped32(GPIO_DIRECTION);
    if (value == 1) {
        word |= REG_Bit(pin);
    } else {
        word &= ~REG_Bit(pin);
    }
    REG_WriteSwapped32(GPIO_DIRECTION, word);
    return 0;
}
