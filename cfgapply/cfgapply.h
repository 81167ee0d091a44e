// Configuration applier: reads the user's network settings file and applies
// it. Each NTP server line runs ntpdate at once; the DNS server goes into the
// resolver file, the time-zone export is appended to the shell profile, and
// the routing daemon's start script is rewritten.
//
// The file locations are a parameter so that the logic can run against any
// directory; the shipped program passes the board's fixed paths.
#pragma once

struct CfgPaths {
    const char* settings;  // settings file, read
    const char* resolv;    // resolver file, replaced atomically
    const char* profile;   // shell profile, appended to
    const char* zebra;     // routing daemon start script, rewritten
    const char* ntpdate;   // clock-setting program: a name looked up on PATH, or a path
};

// Longest token (key or value) a settings line may carry; a line with a
// longer token is ignored.
constexpr int CFG_TOKEN_MAX = 99;
// Longest settings line; the whole of a longer line is ignored.
constexpr int CFG_LINE_MAX = 149;
// Characters of the DNS value that are kept.
constexpr int CFG_DNS_MAX = 16;

// Applies the settings file named in paths. Progress goes to standard output.
// Always returns 0.
int CFG_Apply(const CfgPaths& paths);

// 1 when value may be handed to ntpdate as a server: non-empty, not starting
// with '-', and made only of letters, digits, '.', '-' and ':'. 0 otherwise.
int CFG_ServerValueOk(const char* value);
