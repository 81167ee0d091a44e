// Inside of the simulated board: the hooks the libc interposers call.
// Not part of the control API (see sim.h).
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace simboard {

// Open of a path. *handled = false: not a simulated path, the caller passes
// the call through. Otherwise the result is the descriptor or -1 with *err.
int Open(const char* path, int flags, bool* handled, int* err);
// True when fd is a descriptor of the simulated board (lock-free).
bool IsSimulated(int fd);
// Forget a simulated descriptor before it is really closed.
void Closing(int fd);
// ioctl / read on a simulated descriptor: result, or -1 with *err.
int Ioctl(int fd, unsigned long request, void* arg, int* err);
ssize_t Read(int fd, void* buf, size_t n, int* err);
// system(): *handled = false when the command is not one the board answers.
int System(const char* command, bool* handled);

// Flags after which open() carries a mode argument.
extern const int kOpenModeFlags;

// The real libc functions.
int RealOpen(const char* path, int flags, mode_t mode);
int RealClose(int fd);

}  // namespace simboard
