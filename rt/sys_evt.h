// System event dispatcher: event numbers bound to handlers that run on the
// dispatcher thread SYS_EVT_Process.
#pragma once

constexpr int SYS_EVT_SLOTS = 128;
constexpr int SYS_EVT_INT22 = 1004;
constexpr int SYS_EVT_INT20 = 1005;
constexpr int SYS_EVT_TQ_REAP = 1008;

typedef void (*SYS_EVT_Handler)();

int SYS_EVT_Init();
int SYS_EVT_Register(int event, SYS_EVT_Handler handler);
int SYS_EVT_Unregister(unsigned slot);
int SYS_EVT_Signal(int event);
int SYS_EVT_SignalAll(int event);
