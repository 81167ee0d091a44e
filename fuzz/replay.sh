#!/bin/sh
# Regression run of one fuzz harness:
#   replay.sh HARNESS CORPUS_DIR WORK_DIR SECONDS [libFuzzer options...]
# Replays every stored input, then fuzzes for SECONDS (0: replay only). Both
# steps run on a scratch copy of the corpus in WORK_DIR, so new inputs found
# here never land in the repository; a crashing input is left in
# WORK_DIR/artifacts/.
set -eu

harness=$1
corpus=$2
work=$3
seconds=$4
shift 4

rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
if [ -z "$(ls -A "$corpus" 2>/dev/null)" ]; then
    echo "replay.sh: no stored inputs in $corpus" >&2
    exit 1
fi
cp "$corpus"/* "$work/corpus/"
count=$(ls "$work/corpus" | wc -l)

# Hangs count as failures: no input may keep a harness busy for 10 s.
common="-timeout=10 -rss_limit_mb=2048 -artifact_prefix=$work/artifacts/ -close_fd_mask=1"

echo "== replaying $count stored inputs"
# shellcheck disable=SC2086
"$harness" $common "$@" -runs=0 "$work/corpus"

if [ "$seconds" -gt 0 ]; then
    echo "== fuzzing for $seconds s"
    # shellcheck disable=SC2086
    "$harness" $common "$@" -max_total_time="$seconds" -print_final_stats=1 "$work/corpus"
fi
