#!/bin/sh
# End-to-end test of the shipped cfgapply on its real paths.
#
#   cfgapply_e2e.sh CFGAPPLY [EMULATOR ARGS...]
#
# The program runs inside a private mount namespace in which /etc is an
# overlay over the host's /etc (writes land in a tmpfs), and /usr/sbin and
# /mnt/usrcfg are tmpfs mounts; a recording fake ntpdate comes first on PATH.
# Nothing the program writes reaches the host, and the host's resolver file,
# profile and start script are compared before and after to prove it.
#
# When the machine refuses a mount namespace the test fails, loudly; with
# ODU_ALLOW_NO_NAMESPACE=1 it exits 77 instead, which CTest reports as skipped.
set -eu

if [ "${1:-}" = "--inner" ]; then
    INNER=1
    shift
else
    INNER=0
fi

BIN=$1
shift
# The rest, if any, is the emulator that runs a cross-built binary.

say() { printf 'cfgapply_e2e: %s\n' "$*"; }
fail() {
    say "FAIL: $*"
    exit 1
}

# ---------------------------------------------------------------------------
# Inside the namespace.
# ---------------------------------------------------------------------------
if [ "$INNER" = 1 ]; then
    T=$E2E_DIR
    mount -t tmpfs e2e "$T/ns"
    mkdir "$T/ns/up" "$T/ns/work"
    if ! mount -t overlay e2e -o "lowerdir=/etc,upperdir=$T/ns/up,workdir=$T/ns/work" /etc \
        2>/dev/null; then
        # No overlay: an empty tmpfs with what the dynamic loader and the
        # shell may look for.
        say "no overlay file system; /etc is an empty tmpfs"
        mkdir "$T/ns/etc"
        for f in ld.so.cache ld.so.conf passwd group nsswitch.conf; do
            if [ -e "/etc/$f" ]; then cp -L "/etc/$f" "$T/ns/etc/"; fi
        done
        mount -t tmpfs e2e /etc
        cp -a "$T/ns/etc/." /etc/
    fi
    mount -t tmpfs e2e /usr/sbin
    if [ ! -d /mnt/usrcfg ]; then
        # Needs a mount point; the tmpfs over /mnt exists in this namespace only.
        mount -t tmpfs e2e /mnt
        mkdir /mnt/usrcfg
    fi
    mount -t tmpfs e2e /mnt/usrcfg

    # Never run the program unless every place it writes is a private mount.
    for d in /etc /usr/sbin /mnt/usrcfg; do
        fs=$(stat -f -c %T "$d")
        case $fs in
        tmpfs | overlayfs) ;;
        *) fail "$d is $fs, not a private mount; not running the program" ;;
        esac
    done

    # Start from known files. Remove first: a symbolic link (resolv.conf often
    # is one) would carry a write out of the overlay.
    rm -f /etc/resolv.conf /etc/profile
    printf 'nameserver 9.9.9.9\n' >/etc/resolv.conf
    printf 'export PATH=/bin\n' >/etc/profile
    mark=$T/injected
    tab=$(printf '\t')
    cat >/mnt/usrcfg/config.txt <<EOF
NTP_Server_IP:${tab}10.1.2.3
DNS_Server_IP:${tab}192.168.1.1
NTP_Time_Zone:${tab}-5
NTP_Server_Name:${tab}x;:>$mark
Unknown_Key:${tab}whatever
NTP_Server_Name:${tab}pool.ntp.org
EOF

    cat >"$T/expected.out" <<EOF
fake-ntpdate 10.1.2.3
10.1.2.3
DNS server IP:  192.168.1.1
-5
export TZ=GMT-5

NTP server value refused: x;:>$mark
fake-ntpdate pool.ntp.org
pool.ntp.org
NTP zone updated to /etc/profile
EOF
    cat >"$T/expected.zebra" <<'EOF'
export TZ=GMT-5
/sbin/decrypt.sh /etc/quagga/zebra.conf
zebra -f /etc/quagga/zebra.conf -A 127.0.0.1 -P 35600 &
/sbin/encrypt.sh /etc/quagga/zebra.conf
rm /etc/quagga/zebra.conf
EOF
    printf 'nameserver 192.168.1.1' >"$T/expected.resolv"
    printf 'export PATH=/bin\nexport TZ=GMT-5\n' >"$T/expected.profile1"
    printf 'export PATH=/bin\nexport TZ=GMT-5\nexport TZ=GMT-5\n' >"$T/expected.profile2"
    printf 'argc=1 10.1.2.3\nargc=1 pool.ntp.org\n' >"$T/expected.ntp1"

    check_same() {  # expected actual what
        cmp -s "$1" "$2" || {
            say "--- expected $3:"
            cat "$1"
            say "--- actual $3:"
            cat "$2" 2>/dev/null || say "(missing)"
            fail "$3 differs"
        }
    }
    check_files() {  # expected profile
        check_same "$T/expected.resolv" /etc/resolv.conf /etc/resolv.conf
        check_same "$1" /etc/profile /etc/profile
        check_same "$T/expected.zebra" /usr/sbin/zebra.sh /usr/sbin/zebra.sh
        mode=$(stat -c %a /usr/sbin/zebra.sh)
        [ "$mode" = 755 ] || fail "zebra.sh mode is $mode, not 755"
        mode=$(stat -c %a /etc/resolv.conf)
        [ "$mode" = 644 ] || fail "resolv.conf mode is $mode, not 644"
        leftovers=$(ls -a /etc | grep '^resolv\.conf\.' || true)
        [ -z "$leftovers" ] || fail "temporary files left in /etc: $leftovers"
        [ ! -e "$mark" ] || fail "a server value reached a shell"
    }

    # Run 1: fake ntpdate first on PATH.
    PATH="$T/bin:$PATH" "$@" "$BIN" >"$T/run1.out" 2>"$T/run1.err" || fail "exit status $? (run 1)"
    check_same "$T/expected.out" "$T/run1.out" "standard output (run 1)"
    check_files "$T/expected.profile1"
    check_same "$T/expected.ntp1" "$T/ntp.log" "ntpdate calls (run 1)"

    # Run 2: one more export line in the profile, everything else as before.
    PATH="$T/bin:$PATH" "$@" "$BIN" >"$T/run2.out" 2>"$T/run2.err" || fail "exit status $? (run 2)"
    check_same "$T/expected.out" "$T/run2.out" "standard output (run 2)"
    check_files "$T/expected.profile2"

    # Run 3: no PATH in the environment; ntpdate is found in /usr/sbin.
    mv "$T/bin/ntpdate" /usr/sbin/ntpdate
    : >"$T/ntp.log"
    env -u PATH "$@" "$BIN" >"$T/run3.out" 2>"$T/run3.err" || fail "exit status $? (run 3)"
    check_same "$T/expected.ntp1" "$T/ntp.log" "ntpdate calls without PATH (run 3)"

    # Run 4: no settings file: one message, nothing touched, nothing run.
    rm /mnt/usrcfg/config.txt
    : >"$T/ntp.log"
    cp /usr/sbin/zebra.sh "$T/zebra.before"
    env -u PATH "$@" "$BIN" >"$T/run4.out" 2>&1 || fail "exit status $? (run 4)"
    printf 'File open failed!\n' >"$T/expected.out4"
    check_same "$T/expected.out4" "$T/run4.out" "standard output (run 4)"
    check_same "$T/zebra.before" /usr/sbin/zebra.sh "zebra.sh after run 4"
    [ ! -s "$T/ntp.log" ] || fail "ntpdate ran without a settings file"
    exit 0
fi

# ---------------------------------------------------------------------------
# On the host.
# ---------------------------------------------------------------------------
[ -f "$BIN" ] && [ -x "$BIN" ] || fail "no program at $BIN"
case $BIN in /*) ;; *) BIN=$(pwd)/$BIN ;; esac
SELF=$0
case $SELF in /*) ;; *) SELF=$(pwd)/$SELF ;; esac

T=$(mktemp -d "${TMPDIR:-/tmp}/cfgapply_e2e.XXXXXX")
trap 'rm -rf "$T"' EXIT
mkdir "$T/ns" "$T/bin"
cat >"$T/bin/ntpdate" <<EOF
#!/bin/sh
printf 'argc=%s %s\n' "\$#" "\$*" >>"$T/ntp.log"
printf 'fake-ntpdate %s\n' "\$*"
EOF
chmod 755 "$T/bin/ntpdate"

# State of the host files the program would write, to compare afterwards.
snapshot() {
    for f in /etc/resolv.conf /etc/profile /usr/sbin/zebra.sh /mnt/usrcfg; do
        if [ -L "$f" ]; then
            printf '%s link %s\n' "$f" "$(readlink "$f")"
        fi
        if [ -f "$f" ]; then
            printf '%s %s %s\n' "$f" "$(stat -L -c '%a %s %Y' "$f")" "$(cksum <"$f")"
        elif [ -e "$f" ]; then
            printf '%s %s\n' "$f" "$(stat -L -c '%F %a %Y' "$f")"
        else
            printf '%s absent\n' "$f"
        fi
    done
}
snapshot >"$T/host.before"

if [ "$(id -u)" = 0 ]; then
    UNSHARE="unshare -m --propagation private"
else
    UNSHARE="unshare -r -m --propagation private"
fi
if ! $UNSHARE true 2>"$T/unshare.err"; then
    say "**************************************************************"
    say "NO MOUNT NAMESPACE: the end-to-end test of cfgapply did NOT run"
    say "$(cat "$T/unshare.err")"
    say "**************************************************************"
    if [ "${ODU_ALLOW_NO_NAMESPACE:-0}" = 1 ]; then
        say "skipped (ODU_ALLOW_NO_NAMESPACE=1)"
        exit 77
    fi
    fail "mount namespaces are refused (set ODU_ALLOW_NO_NAMESPACE=1 to skip)"
fi

status=0
E2E_DIR=$T $UNSHARE sh "$SELF" --inner "$BIN" "$@" || status=$?

snapshot >"$T/host.after"
if ! cmp -s "$T/host.before" "$T/host.after"; then
    say "host files before:"
    cat "$T/host.before"
    say "host files after:"
    cat "$T/host.after"
    fail "the host's files changed"
fi
[ "$status" = 0 ] || fail "inside the namespace (status $status)"
say "PASS"
