// cfgapply: applies the user's network settings file to the board: sets the
// clock from the NTP servers it names, writes the DNS server into the
// resolver file, appends the time-zone export to the shell profile and
// rewrites the routing daemon's start script. Takes no arguments; the exit
// status is always 0.

#include "cfgapply/cfgapply.h"

int main() {
    const CfgPaths paths = {
        "/mnt/usrcfg/config.txt", "/etc/resolv.conf", "/etc/profile",
        "/usr/sbin/zebra.sh",     "ntpdate",
    };
    return CFG_Apply(paths);
}
