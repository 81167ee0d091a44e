// The configuration applier on an arbitrary settings file.
//
// Every input is written as the settings file of a scratch folder (on
// /dev/shm when there is one, else $TMPDIR or /tmp) and applied there, with
// a resolver file that holds an old entry, an empty profile and no start
// script. Checked on every input:
// - the applier returns 0 and never overruns a buffer (ASan);
// - the clock program gets exactly one argument, and only a plain host name
//   or address: never an option, a shell word or anything with blanks or
//   control characters;
// - the resolver file is either untouched or exactly "nameserver <address>"
//   with an address of 1 to 16 non-blank characters, never "0.0.0.0", and no
//   temporary file is left behind;
// - the profile got the time-zone line and nothing else, the start script
//   holds that same line followed by the four fixed lines, and the line is
//   empty or "export TZ=GMT" with a signed whole number.
//
// The clock program is never really started: this program provides execvp,
// which the applier's child process calls; it records the argument vector
// and ends the child.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cfgapply/cfgapply.h"

namespace {

const char kClockProgram[] = "/nonexistent/fuzz-ntpdate";
const char kOldResolver[] = "nameserver 192.0.2.1\n";
const char kZebraTail[] =
    "/sbin/decrypt.sh /etc/quagga/zebra.conf\n"
    "zebra -f /etc/quagga/zebra.conf -A 127.0.0.1 -P 35600 &\n"
    "/sbin/encrypt.sh /etc/quagga/zebra.conf\n"
    "rm /etc/quagga/zebra.conf\n";

std::string dir;
std::string settingsPath, resolvPath, profilePath, zebraPath, clockLogPath;

void Require(bool ok) {
    if (!ok) abort();
}

bool ReadFile(const std::string& path, std::string* out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    out->clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
    fclose(f);
    return true;
}

void WriteFile(const std::string& path, const void* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    Require(f != nullptr);
    if (size > 0) Require(fwrite(data, 1, size, f) == size);
    Require(fclose(f) == 0);
}

void RemoveScratch() {
    if (dir.empty()) return;
    for (const std::string* p :
         {&settingsPath, &resolvPath, &profilePath, &zebraPath, &clockLogPath}) {
        unlink(p->c_str());
    }
    rmdir(dir.c_str());
}

bool PlainHost(const std::string& s) {
    if (s.empty() || s[0] == '-' || s.size() > static_cast<size_t>(CFG_TOKEN_MAX)) return false;
    for (char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':';
        if (!ok) return false;
    }
    return true;
}

// "" or "export TZ=GMT" + sign + digits (an int) + "\n".
bool ZoneLineOk(const std::string& s) {
    if (s.empty()) return true;
    const std::string head = "export TZ=GMT";
    if (s.compare(0, head.size(), head) != 0 || s.back() != '\n') return false;
    const std::string num = s.substr(head.size(), s.size() - head.size() - 1);
    if (num.size() < 2 || (num[0] != '+' && num[0] != '-')) return false;
    for (size_t i = 1; i < num.size(); ++i) {
        if (num[i] < '0' || num[i] > '9') return false;
    }
    errno = 0;
    const long long v = strtoll(num.c_str(), nullptr, 10);
    return errno == 0 && v >= INT_MIN && v <= INT_MAX && (num[0] == '-') == (v < 0);
}

void CheckResolver() {
    std::string r;
    Require(ReadFile(resolvPath, &r));
    if (r == kOldResolver) return;
    const std::string head = "nameserver ";
    Require(r.compare(0, head.size(), head) == 0);
    const std::string addr = r.substr(head.size());
    Require(!addr.empty() && addr.size() <= static_cast<size_t>(CFG_DNS_MAX));
    Require(addr != "0.0.0.0");
    // One token of the settings line: no blank, no line end, no zero byte.
    for (char c : addr) Require(c != '\0' && strchr(" \t\n\v\f\r", c) == nullptr);
}

void CheckClockRuns() {
    std::string log;
    if (!ReadFile(clockLogPath, &log)) return;  // not run
    // One record per run: "<argc> <program>\n<argument>\n".
    size_t pos = 0;
    while (pos < log.size()) {
        const size_t eol = log.find('\n', pos);
        Require(eol != std::string::npos);
        Require(log.compare(pos, eol - pos, std::string("2 ") + kClockProgram) == 0);
        const size_t eol2 = log.find('\n', eol + 1);
        Require(eol2 != std::string::npos);
        Require(PlainHost(log.substr(eol + 1, eol2 - eol - 1)));
        pos = eol2 + 1;
    }
}

// The folder holds the files this program made and the applier's outputs,
// nothing else (no temporary file of the resolver update).
void CheckNoLeftovers() {
    DIR* d = opendir(dir.c_str());
    Require(d != nullptr);
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        Require(name == "." || name == ".." || name == "config.txt" || name == "resolv.conf" ||
                name == "profile" || name == "zebra.sh" || name == "clock.log");
    }
    closedir(d);
}

}  // namespace

// The applier's child process calls this in place of the real execvp: the
// argument vector is appended to the log and the child ends.
extern "C" int execvp(const char* file, char* const argv[]) {
    // A forked child: no heap, only a buffer on the stack.
    char rec[1024];
    int argc = 0;
    while (argv[argc] != nullptr) ++argc;
    int n = snprintf(rec, sizeof rec, "%d %s\n", argc, file);
    for (int i = 1; i < argc && n >= 0 && n < static_cast<int>(sizeof rec); ++i) {
        n += snprintf(rec + n, sizeof rec - static_cast<size_t>(n), "%s\n", argv[i]);
    }
    if (n < 0 || n >= static_cast<int>(sizeof rec)) n = snprintf(rec, sizeof rec, "overflow\n");
    const int fd = open(clockLogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0) {
        ssize_t ignored = write(fd, rec, static_cast<size_t>(n));
        (void)ignored;
        close(fd);
    }
    _exit(0);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
    if (base == nullptr || base[0] == '\0') base = "/tmp";
    std::string tmpl = std::string(base) + "/fuzz_cfgapply.XXXXXX";
    Require(mkdtemp(&tmpl[0]) != nullptr);
    dir = tmpl;
    settingsPath = dir + "/config.txt";
    resolvPath = dir + "/resolv.conf";
    profilePath = dir + "/profile";
    zebraPath = dir + "/zebra.sh";
    clockLogPath = dir + "/clock.log";
    atexit(RemoveScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WriteFile(settingsPath, data, size);
    WriteFile(resolvPath, kOldResolver, sizeof kOldResolver - 1);
    WriteFile(profilePath, "", 0);
    unlink(zebraPath.c_str());
    unlink(clockLogPath.c_str());

    const CfgPaths paths = {settingsPath.c_str(), resolvPath.c_str(), profilePath.c_str(),
                            zebraPath.c_str(), kClockProgram};
    Require(CFG_Apply(paths) == 0);

    CheckClockRuns();
    CheckResolver();
    std::string profile;
    std::string zebra;
    Require(ReadFile(profilePath, &profile));
    Require(ReadFile(zebraPath, &zebra));
    Require(ZoneLineOk(profile));
    Require(zebra == profile + kZebraTail);
    CheckNoLeftovers();
    return 0;
}
