#!/usr/bin/env bash
# Soaks both windows offscreen: busprobe against the libmodbus slave, Ormet-Master against the meter simulator.
# Usage: scripts/soak.sh [SECONDS (default 600)] [BUILD_DIR (default build)]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
build=${2:-build}
case "$seconds" in '' | *[!0-9]*) echo "usage: scripts/soak.sh [SECONDS] [BUILD_DIR]" >&2; exit 2 ;; esac

[ -f "$build/build.ninja" ] || [ -f "$build/Makefile" ] || cmake -S . -B "$build" -G Ninja
cmake --build "$build" --target soak_busprobe soak_meter
export QT_QPA_PLATFORM=offscreen SOAK_SECONDS=$seconds

# Prints one soak's figures from its "SOAK <name> key=value ..." lines.
summary() {
    awk -v name="$1" '
        $1 == "SOAK" && $2 == name && $3 == "problem" { $1 = $2 = $3 = ""; problems = problems "  problem:" $0 "\n"; next }
        $1 == "SOAK" && $2 == name && $3 ~ /=/ { for (i = 3; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] } found = 1 }
        END {
            if (!found) { print "  no figures: the soak ended early (see the log above)"; exit }
            if (name == "busprobe") {
                printf "  requests %s, replies logged %s (slave answered %s), missing %s, wrong %s, split %s\n", \
                    v["requests"], v["replies"], v["slave_replies"], v["missing"], v["wrong"], v["split"]
                printf "  RSS start %s MB, end %s MB with the logs (%s chars, %s MB), %s MB with the logs cleared: growth %s MB\n", \
                    v["rss_start_mb"], v["rss_end_with_log_mb"], v["log_chars"], v["log_mb"], v["rss_end_mb"], v["growth_mb"]
                printf "  logs cleared by their buttons %s times on the way, at most %s chars; RSS after each clear %s MB\n", \
                    v["log_clears"], v["log_peak_chars"], v["rss_after_clears_mb"]
            } else {
                printf "  requests %s, good replies %s, fault episodes %s (%s faulty requests), boxes due %s, shown %s, resumed %s\n", \
                    v["requests"], v["good_replies"], v["episodes"], v["faulty_requests"], v["boxes_due"], v["boxes_shown"], v["resumed"]
                printf "  RSS start %s MB, half-way %s MB, end %s MB, less %s MB of simulator report lines: growth %s MB\n", \
                    v["rss_start_mb"], v["rss_half_mb"], v["rss_end_mb"], v["sim_log_mb"], v["growth_mb"]
            }
            printf "  event lateness max %s ms, p99 %s ms (%s probes); max %s ms leaving out the machine'"'"'s own stalls (a plain thread late by up to %s ms)\n", \
                v["lateness_max_ms"], v["lateness_p99_ms"], v["lateness_samples"], v["lateness_window_max_ms"], v["machine_max_ms"]
            printf "%s", problems
            printf "  result: %s\n", v["result"]
        }'
}

status=0
for soak in busprobe meter; do
    echo "== soak $soak: $seconds s =="
    log=$(mktemp)
    rc=0
    timeout $((seconds + 300)) "$build/tests/soak/soak_$soak" >"$log" 2>&1 || rc=$?
    grep -E '^(FAIL!|QFATAL|QCRITICAL|Totals)' "$log" || true
    summary "$soak" <"$log"
    if [ "$rc" -ne 0 ]; then
        echo "  exit status $rc: FAIL"
        tail -n 30 "$log"
        status=1
    else
        echo "  PASS"
    fi
    rm -f "$log"
done
exit "$status"
