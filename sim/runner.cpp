// odusim: starts a program on the simulated board.
//
//   odusim [options] -- PROGRAM ARGS...
//
// Preloads libodusim.so (found next to this executable) into PROGRAM and
// hands the options to it through ODUSIM_* environment variables. With
// ODUSIM_EMULATOR set (e.g. "qemu-ppc -L /usr/powerpc-linux-gnu") PROGRAM is
// run through that emulator and the preload is passed to the guest only.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Usage(FILE* out) {
    fputs(
        "usage: odusim [options] -- PROGRAM [ARGS...]\n"
        "Runs PROGRAM on the simulated board (driver, FPGA, ODU).\n"
        "  --config FILE   read configuration lines from FILE (ODUSIM_CONFIG)\n"
        "  --trace FILE    append the wire trace to FILE (ODUSIM_TRACE)\n"
        "  --param VALUE   parameter value, e.g. --param '2 7 word -7'\n"
        "  --fault FAULT   fault, e.g. --fault silent, --fault 'bad_fcs on 2'\n"
        "  --set LINE      any configuration line, e.g. --set 'answer_delay_us 500'\n"
        "  -h, --help      this text\n"
        "Environment: ODUSIM_EMULATOR runs PROGRAM through an emulator.\n",
        out);
}

std::string SelfDir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    char* slash = strrchr(buf, '/');
    if (slash == nullptr) return ".";
    *slash = '\0';
    return buf[0] != '\0' ? buf : "/";
}

void Append(const char* var, const std::string& item, const char* sep) {
    const char* old = getenv(var);
    std::string value = old != nullptr && old[0] != '\0' ? std::string(old) + sep + item : item;
    setenv(var, value.c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string opt = argv[i];
        if (opt == "--") {
            ++i;
            break;
        }
        if (opt == "-h" || opt == "--help") {
            Usage(stdout);
            return 0;
        }
        if (opt.size() < 2 || opt[0] != '-') break;  // PROGRAM without "--"
        if (i + 1 >= argc) {
            fprintf(stderr, "odusim: %s needs a value\n", opt.c_str());
            Usage(stderr);
            return 2;
        }
        const char* value = argv[++i];
        if (opt == "--config") {
            setenv("ODUSIM_CONFIG", value, 1);
        } else if (opt == "--trace") {
            setenv("ODUSIM_TRACE", value, 1);
        } else if (opt == "--param") {
            Append("ODUSIM_SET", std::string("param ") + value, ";");
        } else if (opt == "--fault") {
            Append("ODUSIM_SET", std::string("fault ") + value, ";");
        } else if (opt == "--set") {
            Append("ODUSIM_SET", value, ";");
        } else {
            fprintf(stderr, "odusim: unknown option %s\n", opt.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (i >= argc) {
        Usage(stderr);
        return 2;
    }

    std::string lib = SelfDir() + "/libodusim.so";
    if (access(lib.c_str(), R_OK) != 0) {
        fprintf(stderr, "odusim: %s: %s\n", lib.c_str(), strerror(errno));
        return 127;
    }
    // The simulation comes first; ASan accepts a library ahead of its runtime
    // only when told so.
    std::string preload = lib;
    const char* oldPreload = getenv("LD_PRELOAD");
    if (oldPreload != nullptr && oldPreload[0] != '\0') preload += std::string(":") + oldPreload;
    Append("ASAN_OPTIONS", "verify_asan_link_order=0", ":");

    std::vector<std::string> words;
    const char* emulator = getenv("ODUSIM_EMULATOR");
    if (emulator != nullptr && emulator[0] != '\0') {
        std::string e = emulator;
        size_t pos = 0;
        while (pos < e.size()) {
            size_t end = e.find(' ', pos);
            if (end == std::string::npos) end = e.size();
            if (end > pos) words.push_back(e.substr(pos, end - pos));
            pos = end + 1;
        }
        words.push_back("-E");
        words.push_back("LD_PRELOAD=" + preload);
        unsetenv("LD_PRELOAD");  // not for the emulator itself
    } else {
        setenv("LD_PRELOAD", preload.c_str(), 1);
    }
    for (; i < argc; ++i) words.push_back(argv[i]);

    std::vector<char*> args;
    for (std::string& w : words) args.push_back(&w[0]);
    args.push_back(nullptr);
    execvp(args[0], args.data());
    fprintf(stderr, "odusim: cannot start %s: %s\n", args[0], strerror(errno));
    return 127;
}
