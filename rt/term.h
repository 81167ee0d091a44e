// ANSI terminal control written to standard output.
#pragma once

// Moves the cursor; row and column are each taken modulo 256.
void TERM_GotoXY(int row, int column);
void TERM_Clear();
// Selects one of "BLACK", "RED", "GREEN", "YELLOW", "BLUE", "MAGENTA",
// "CYAN", "WHITE" (exact, case-sensitive); any other name prints nothing.
void TERM_Color(const char* name);
