#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS on a copy of its committed corpus.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]   (default 600 s, every target)
# Environment: FUZZ_BUILD_DIR (default build-fuzz), FUZZ_WORK_DIR (default a fresh temporary folder),
# FUZZ_NO_BUILD=1 to run what is built already (for runs side by side), FUZZ_RSS_MB (default 2048).
# Exits non-zero when a target finds anything; the input that did it stays in <build>/findings/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

all_targets=(hex_text reply_decode package_decoder meter_reply ini_reader inner_params)
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
case $seconds in
  ''|*[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac
for t in "${targets[@]}"; do
  if [[ ! " ${all_targets[*]} " == *" $t "* ]]; then
    echo "fuzz.sh: unknown target '$t' (known: ${all_targets[*]})" >&2
    exit 2
  fi
done

build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
if [ "${FUZZ_NO_BUILD:-0}" != 1 ]; then
  cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$build" -j2 --target $(printf 'fuzz_%s ' "${targets[@]}")
fi

work=${FUZZ_WORK_DIR:-}
if [ -z "$work" ]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/fuzz-work.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

failed=0
summary=()
for t in "${targets[@]}"; do
  corpus=$work/$t/corpus
  findings=$build/findings/$t
  log=$work/$t/fuzz.log
  rm -rf "$corpus"
  mkdir -p "$corpus" "$findings"
  cp -r "fuzz/corpus/$t/." "$corpus/"
  dict=()
  [ -f "fuzz/dict/$t.dict" ] && dict=(-dict="fuzz/dict/$t.dict")
  echo "== fuzz_$t for ${seconds}s"
  touch "$work/$t/started"
  start=$(date +%s)
  rc=0
  "$build/fuzz_$t" "$corpus" "${dict[@]}" \
    -max_total_time="$seconds" -rss_limit_mb="${FUZZ_RSS_MB:-2048}" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$findings/" >"$log" 2>&1 || rc=$?
  wall=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  # A target that fails at once prints no coverage: that must reach the summary, not end the script.
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  found=$(find "$findings" -type f -newer "$work/$t/started" 2>/dev/null | head -5 | tr '\n' ' ')
  if [ "$rc" -ne 0 ] || [ -n "$found" ]; then
    failed=1
    tail -40 "$log"
    line="fuzz $t: FINDING (exit $rc) execs=${execs:-?} cov=${cov:-?} ft=${ft:-?} seconds=$wall kept: ${found:-see log}"
  else
    line="fuzz $t: ok execs=${execs:-?} cov=${cov:-?} ft=${ft:-?} seconds=$wall"
  fi
  echo "$line"
  summary+=("$line")
done

echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
exit $failed
