// Configuration applier: scan of the settings file and the writes it leads to.

#include "cfgapply/cfgapply.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kBufSize = 100;  // key, value, time-zone line, resolver line

const char kKeyDns[] = "DNS_Server_IP:";
const char kKeyZone[] = "NTP_Time_Zone:";
const char kKeyServerIp[] = "NTP_Server_IP:";
const char kKeyServerName[] = "NTP_Server_Name:";

// The start script's fixed lines, written after the time-zone line.
struct FixedLine {
    const char* text;
    size_t size;
};
constexpr char kZebra1[] = "/sbin/decrypt.sh /etc/quagga/zebra.conf\n";
constexpr char kZebra2[] = "zebra -f /etc/quagga/zebra.conf -A 127.0.0.1 -P 35600 &\n";
constexpr char kZebra3[] = "/sbin/encrypt.sh /etc/quagga/zebra.conf\n";
constexpr char kZebra4[] = "rm /etc/quagga/zebra.conf\n";
static_assert(sizeof(kZebra1) - 1 == 40 && sizeof(kZebra2) - 1 == 56);
static_assert(sizeof(kZebra3) - 1 == 40 && sizeof(kZebra4) - 1 == 26);
constexpr FixedLine kZebraLines[] = {
    {kZebra1, sizeof(kZebra1) - 1},
    {kZebra2, sizeof(kZebra2) - 1},
    {kZebra3, sizeof(kZebra3) - 1},
    {kZebra4, sizeof(kZebra4) - 1},
};

// Where the clock program is looked for when the environment has no PATH
// (as under a bare init script), so that it is found where a shell would.
const char* const kDefaultDirs[] = {"/sbin", "/usr/sbin", "/bin", "/usr/bin"};

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads one line without its newline into buf (CFG_LINE_MAX characters and a
// terminator). Returns -1 at the end of the file, 1 for a line that fits, and
// 0 for a longer line, whose remainder up to its newline is consumed so that
// it is never taken for a line of its own.
int ReadLine(FILE* f, char* buf) {
    int n = 0;
    int c;
    bool any = false;
    bool fits = true;
    while ((c = getc(f)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (n < CFG_LINE_MAX) {
            buf[n++] = static_cast<char>(c);
        } else {
            fits = false;
        }
    }
    buf[n] = '\0';
    if (!any) return -1;
    return fits ? 1 : 0;
}

// Copies the next white-space delimited token of *pos into out (kBufSize
// bytes) and advances *pos past it. Returns 1 for a token that fits, 0 when
// there is none or it is longer than CFG_TOKEN_MAX characters.
int NextToken(const char** pos, char* out) {
    const char* p = *pos;
    while (*p != '\0' && IsBlank(*p)) ++p;
    const char* start = p;
    while (*p != '\0' && !IsBlank(*p)) ++p;
    const size_t len = static_cast<size_t>(p - start);
    *pos = p;
    if (len == 0 || len > static_cast<size_t>(CFG_TOKEN_MAX)) return 0;
    memcpy(out, start, len);
    out[len] = '\0';
    return 1;
}

// Splits a line into key and value, the first two tokens; anything after
// them is ignored. Returns 1 when both are there and fit their buffers.
int SplitLine(const char* line, char* key, char* value) {
    const char* pos = line;
    return NextToken(&pos, key) && NextToken(&pos, value);
}

// The number at the start of value as atoi reads it (no digits gives 0),
// held to the range of int so that an absurd value gives the same result on
// every platform.
int ParseZone(const char* value) {
    const long n = strtol(value, nullptr, 10);
    if (n > INT_MAX) return INT_MAX;
    if (n < INT_MIN) return INT_MIN;
    return static_cast<int>(n);
}

// Runs the clock program with server as its only argument, without a shell,
// and waits for it. Its output goes to ours; its result is not examined.
void RunClockProgram(const char* program, const char* server) {
    fflush(stdout);  // what we printed so far comes before the child's output
    const pid_t pid = fork();
    if (pid == 0) {
        char* argv[] = {const_cast<char*>(program), const_cast<char*>(server), nullptr};
        if (strchr(program, '/') == nullptr && getenv("PATH") == nullptr) {
            char path[PATH_MAX];
            for (const char* dir : kDefaultDirs) {
                const int n = snprintf(path, sizeof path, "%s/%s", dir, program);
                if (n > 0 && n < static_cast<int>(sizeof path)) execv(path, argv);
            }
        }
        execvp(program, argv);
        // Never return into the caller's scan from the child.
        const char msg[] = ": cannot be run\n";
        ssize_t ignored = write(STDERR_FILENO, program, strlen(program));
        ignored = write(STDERR_FILENO, msg, sizeof msg - 1);
        (void)ignored;
        _exit(127);
    }
    if (pid > 0) {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

// Prints the refusal of a server value, with any byte that is not printable
// ASCII shown as '?' so that a hostile value cannot drive the terminal.
void PrintRefused(const char* value) {
    char shown[kBufSize];
    size_t i = 0;
    for (; value[i] != '\0' && i < sizeof shown - 1; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        shown[i] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    shown[i] = '\0';
    printf("NTP server value refused: %s\n", shown);
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Flushes the directory entry of path (after a rename into it) to storage.
void SyncParentDir(const char* path) {
    char dir[PATH_MAX];
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        strcpy(dir, ".");
    } else if (slash == path) {
        strcpy(dir, "/");
    } else {
        const size_t len = static_cast<size_t>(slash - path);
        if (len >= sizeof dir) return;
        memcpy(dir, path, len);
        dir[len] = '\0';
    }
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Replaces the resolver file with "nameserver <dns>" (no newline). The new
// content goes to a temporary file in the same folder, is flushed, and is
// renamed over the old file, so the board keeps its old resolver file
// whenever any step fails.
void WriteResolver(const char* path, const char* dns) {
    char tmp[PATH_MAX];
    const int n = snprintf(tmp, sizeof tmp, "%s.XXXXXX", path);
    if (n < 0 || n >= static_cast<int>(sizeof tmp)) return;
    const int fd = mkstemp(tmp);
    if (fd < 0) return;

    char text[kBufSize];
    const int len = snprintf(text, sizeof text, "nameserver %s", dns);
    // Every resolver on the board reads this file, whatever user it runs as.
    bool ok = len > 0 && fchmod(fd, 0644) == 0 && WriteAll(fd, text, static_cast<size_t>(len)) &&
              fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp, path) == 0) {
        SyncParentDir(path);
        return;
    }
    unlink(tmp);
}

// Opens the settings file; a folder in its place counts as unreadable.
FILE* OpenSettings(const char* path) {
    FILE* f = fopen(path, "r");
    if (f == nullptr) return nullptr;
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
        fclose(f);
        return nullptr;
    }
    return f;
}

}  // namespace

int CFG_ServerValueOk(const char* value) {
    if (value[0] == '\0' || value[0] == '-') return 0;
    for (const char* p = value; *p != '\0'; ++p) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':';
        if (!ok) return 0;
    }
    return 1;
}

int CFG_Apply(const CfgPaths& paths) {
    char line[CFG_LINE_MAX + 1] = {};
    char key[kBufSize] = {};
    char value[kBufSize] = {};
    char dns[CFG_DNS_MAX + 1] = {};
    bool dnsSeen = false;
    char zoneLine[kBufSize] = {};
    int zone = 0;

    FILE* settings = OpenSettings(paths.settings);
    if (settings == nullptr) {
        puts("File open failed!");
        return 0;
    }

    int got;
    while ((got = ReadLine(settings, line)) >= 0) {
        // A line cut at the length limit would be applied with a cut value.
        if (got == 0) continue;
        // A line without both a key and a value, or with a token too long for
        // its buffer, is not a setting.
        if (!SplitLine(line, key, value)) continue;

        if (strcmp(key, kKeyDns) == 0) {
            memset(dns, 0, sizeof dns);
            memcpy(dns, value, strnlen(value, CFG_DNS_MAX));
            dnsSeen = true;
            printf("DNS server IP:  %s\n", dns);
        } else if (strcmp(key, kKeyZone) == 0) {
            zone = ParseZone(value);
            printf("%d\n", zone);
            if (zone >= 0) {
                snprintf(zoneLine, sizeof zoneLine, "export TZ=GMT+%d\n", zone);
            } else {
                snprintf(zoneLine, sizeof zoneLine, "export TZ=GMT%d\n", zone);
            }
            puts(zoneLine);
        } else if (strcmp(key, kKeyServerIp) == 0 || strcmp(key, kKeyServerName) == 0) {
            // The value becomes a program argument: refuse what could be read
            // as an option or is no host name or address.
            if (!CFG_ServerValueOk(value)) {
                PrintRefused(value);
                continue;
            }
            RunClockProgram(paths.ntpdate, value);
            puts(value);
        }
    }
    fclose(settings);

    // Without a DNS line there is no address to write; an empty nameserver
    // line would break name resolution.
    if (dnsSeen && strcmp(dns, "0.0.0.0") != 0) WriteResolver(paths.resolv, dns);

    FILE* profile = fopen(paths.profile, "a");
    if (profile != nullptr) {
        fputs(zoneLine, profile);
        puts("NTP zone updated to /etc/profile");
        fclose(profile);
    }

    FILE* script = fopen(paths.zebra, "w+");
    if (script != nullptr) {
        fputs(zoneLine, script);
        for (const FixedLine& l : kZebraLines) fwrite(l.text, 1, l.size, script);
        fclose(script);
    }
    // Executable for everyone, writable by its owner only.
    chmod(paths.zebra, 0755);

    fflush(stdout);
    return 0;
}
