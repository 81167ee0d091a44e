// ANSI terminal control.
#include "rt/term.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kEsc = 27;

struct ColorCode {
    const char* name;
    int code;
};

// The codes are written as they stand (0..7), not as 30..37.
constexpr ColorCode kColors[] = {
    {"BLACK", 0}, {"RED", 1},     {"GREEN", 2}, {"YELLOW", 3},
    {"BLUE", 4},  {"MAGENTA", 5}, {"CYAN", 6},  {"WHITE", 7},
};

}  // namespace

void TERM_GotoXY(int row, int column) {
    // Longest sequence: ESC [255;255H, ten characters and the terminator.
    char buf[16];
    snprintf(buf, sizeof buf, "%c[%d;%dH", kEsc, static_cast<int>(static_cast<uint8_t>(row)),
             static_cast<int>(static_cast<uint8_t>(column)));
    fputs(buf, stdout);
}

void TERM_Clear() {
    char buf[8];
    snprintf(buf, sizeof buf, "%c[2J", kEsc);
    fputs(buf, stdout);
}

void TERM_Color(const char* name) {
    if (name == nullptr) return;
    for (const ColorCode& c : kColors) {
        if (strcmp(name, c.name) == 0) {
            printf("%c[%d;m", kEsc, c.code);
            return;
        }
    }
}
