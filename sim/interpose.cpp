// The libc entry points the simulated board takes over. Simulated paths
// ("/dev/memdrv", "/dev/int%d") and "mknod" commands for interrupt nodes are
// answered by the board; every other call goes to the real libc function.
//
// This file deliberately includes no header that declares these functions,
// so that large-file or fortify redirections cannot rename them.
#include <dlfcn.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>

#include "sim/board.h"

namespace {

using OpenFn = int (*)(const char*, int, ...);
using Open2Fn = int (*)(const char*, int);
using OpenAtFn = int (*)(int, const char*, int, ...);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using ReadFn = ssize_t (*)(int, void*, size_t);
using SystemFn = int (*)(const char*);

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// An absolute path the board simulates is opened by the board; any other
// open goes to the real call.
template <typename RealOpen>
int RouteOpen(const char* path, int flags, RealOpen real) {
    if (path != nullptr && path[0] == '/') {
        bool handled = false;
        int err = 0;
        const int fd = simboard::Open(path, flags, &handled, &err);
        if (handled) {
            if (fd < 0) errno = err;
            return fd;
        }
    }
    return real();
}

mode_t ModeArg(int flags, va_list ap) {
    return (flags & simboard::kOpenModeFlags) != 0 ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    static OpenFn real = Next<OpenFn>("open");
    return RouteOpen(path, flags, [&] { return real(path, flags, mode); });
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    static OpenFn real = Next<OpenFn>("open64");
    return RouteOpen(path, flags, [&] { return real(path, flags, mode); });
}

int __open_2(const char* path, int flags) {
    static Open2Fn real = Next<Open2Fn>("__open_2");
    return RouteOpen(path, flags, [&] { return real(path, flags); });
}

int __open64_2(const char* path, int flags) {
    static Open2Fn real = Next<Open2Fn>("__open64_2");
    return RouteOpen(path, flags, [&] { return real(path, flags); });
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    static OpenAtFn real = Next<OpenAtFn>("openat");
    return RouteOpen(path, flags, [&] { return real(dirfd, path, flags, mode); });
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    static OpenAtFn real = Next<OpenAtFn>("openat64");
    return RouteOpen(path, flags, [&] { return real(dirfd, path, flags, mode); });
}

int close(int fd) {
    simboard::Closing(fd);
    static CloseFn real = Next<CloseFn>("close");
    return real(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (simboard::IsSimulated(fd)) {
        int err = 0;
        int result = simboard::Ioctl(fd, request, arg, &err);
        if (result < 0) errno = err;
        return result;
    }
    static IoctlFn real = Next<IoctlFn>("ioctl");
    return real(fd, request, arg);
}

ssize_t read(int fd, void* buf, size_t n) {
    if (simboard::IsSimulated(fd)) {
        int err = 0;
        ssize_t result = simboard::Read(fd, buf, n, &err);
        if (result < 0) errno = err;
        return result;
    }
    static ReadFn real = Next<ReadFn>("read");
    return real(fd, buf, n);
}

int system(const char* command) {
    bool handled = false;
    int result = simboard::System(command, &handled);
    if (handled) return result;
    static SystemFn real = Next<SystemFn>("system");
    return real(command);
}

}  // extern "C"
