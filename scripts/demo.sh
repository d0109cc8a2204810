#!/usr/bin/env bash
# Starts busprobe and Ormet-Master on simulated devices (or a real one) in a private port map.
set -euo pipefail

usage() {
    cat <<'EOF'
Usage: scripts/demo.sh [options]
Starts the Modbus slave simulator as COM1 and the meter simulator as COM2 in a private port map
directory, presets busprobe on COM1 and starts both programs. Closing the programs stops the
simulators.
  --only busprobe|ormet   run one program alone (with its simulator)
  --device PATH           use this serial device, mapped as COM1, instead of the simulators
  --baud N                busprobe's preset speed (default 9600)
  --build-dir DIR         take the programs from DIR (default build/)
  --installed             take the programs from PATH (the installed package)
  --smoke                 headless check under Xvfb: each program performs one exchange by itself,
                          prints what it showed and quits; fails unless both did within 60 s
  --show-window PROGRAM   start PROGRAM under Xvfb, wait for its window, close it (install check)
  -h, --help              this text
EOF
}

root=$(cd "$(dirname "$0")/.." && pwd)
all_args=("$@")
build_dir=$root/build
only=""
device=""
baud=9600
installed=0
smoke=0
show_window=""
while [ $# -gt 0 ]; do
    case "$1" in
    --only) only=${2:-}; shift 2 ;;
    --device) device=${2:-}; shift 2 ;;
    --baud) baud=${2:-}; shift 2 ;;
    --build-dir) build_dir=$(cd "${2:-}" && pwd); shift 2 ;;
    --installed) installed=1; shift ;;
    --smoke) smoke=1; shift ;;
    --show-window) show_window=${2:-}; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "demo: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done
case "$only" in
"") ;;
busprobe) ;;
ormet|Ormet-Master|ormet-master) only=ormet ;;
*) echo "demo: --only takes busprobe or ormet" >&2; exit 2 ;;
esac

speeds=(110 300 600 1200 2400 4800 9600 14400 19200 38400 56000 57600 115200 128000 256000)
baud_ordinal=""
for i in "${!speeds[@]}"; do [ "${speeds[$i]}" = "$baud" ] && baud_ordinal=$i; done
if [ -z "$baud_ordinal" ]; then
    echo "demo: --baud must be one of ${speeds[*]}" >&2
    exit 2
fi

# Headless modes need an X server: run ourselves again under Xvfb when there is none.
if { [ $smoke = 1 ] || [ -n "$show_window" ]; } && [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "${all_args[@]}"
fi
if [ $smoke = 1 ] || [ -n "$show_window" ]; then
    export QT_QPA_PLATFORM=xcb
fi

# Where each program lives; empty when it is not built or installed.
find_program() {
    local name=$1 sub=$2
    if [ $installed = 1 ]; then
        command -v "$name" || true
    elif [ -x "$build_dir/$sub/$name" ]; then
        echo "$build_dir/$sub/$name"
    fi
}
busprobe_bin=$(find_program busprobe busprobe/window)
ormet_bin=$(find_program Ormet-Master meter/windows)
slave_bin=$(find_program modbus-slave-sim tools/modbus-slave-sim)
meter_bin=$(find_program ormet-meter-sim tools/ormet-meter-sim)

# --- process bookkeeping: everything we start is stopped by its id on the way out ---
started=()
declare -A reaped=()
alive() {
    local st
    st=$(sed -n 's/^.*) \([A-Z]\).*/\1/p' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$st" ] && [ "$st" != Z ]
}
stop_pid() {
    local pid=$1 i
    [ -z "${reaped[$pid]:-}" ] || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do alive "$pid" || break; sleep 0.1; done
    if alive "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
    wait "$pid" 2>/dev/null || true
    reaped[$pid]=1
}
work=$(mktemp -d -t busprobe-demo.XXXXXX)
cleanup() {
    local pid
    for pid in "${started[@]}"; do stop_pid "$pid"; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# Waits for the first line of a simulator's output; prints it.
first_line() {
    local file=$1 pid=$2 i
    for ((i = 0; i < 100; i++)); do
        if [ -s "$file" ] && [ "$(wc -l <"$file")" -ge 1 ]; then
            head -n 1 "$file"
            return 0
        fi
        alive "$pid" || return 1
        sleep 0.1
    done
    return 1
}

# True once PID shows a viewable top-level window.
has_window() {
    local pid=$1 id
    for id in $(xwininfo -root -children 2>/dev/null | sed -n 's/^ *\(0x[0-9a-f]*\) .*/\1/p'); do
        [ "$(xprop -id "$id" _NET_WM_PID 2>/dev/null)" = "_NET_WM_PID(CARDINAL) = $pid" ] || continue
        case "$(xwininfo -id "$id" 2>/dev/null)" in
        *"Map State: IsViewable"*) return 0 ;;
        esac
    done
    return 1
}

# Starts a program, waits up to 30 s for its window, then closes it. Fails if it never shows.
show_and_close() {
    local name=$1 bin=$2 pid i
    "$bin" >"$work/$name.out" 2>&1 &
    pid=$!
    started+=("$pid")
    for ((i = 0; i < 300; i++)); do
        if has_window "$pid"; then
            echo "$name: window shown"
            stop_pid "$pid"
            return 0
        fi
        if ! alive "$pid"; then
            echo "$name: ended before showing a window:" >&2
            cat "$work/$name.out" >&2
            return 1
        fi
        sleep 0.1
    done
    echo "$name: no window within 30 s" >&2
    cat "$work/$name.out" >&2
    return 1
}

if [ -n "$show_window" ]; then
    bin=$(command -v "$show_window" || true)
    [ -x "$show_window" ] && bin=$show_window
    if [ -z "$bin" ]; then
        echo "$show_window: not found" >&2
        exit 1
    fi
    export XDG_CONFIG_HOME=$work/config COMPORTS_DIR=$work/comports
    mkdir -p "$XDG_CONFIG_HOME" "$COMPORTS_DIR"
    show_and_close "$(basename "$show_window")" "$bin"
    exit $?
fi

want_busprobe=1 want_ormet=1
[ "$only" = ormet ] && want_busprobe=0
[ "$only" = busprobe ] && want_ormet=0
if [ $want_busprobe = 1 ] && [ -z "$busprobe_bin" ]; then
    echo "busprobe is not built yet (looked in $build_dir/busprobe); skipping it."
    want_busprobe=0
fi
if [ $want_ormet = 1 ] && [ -z "$ormet_bin" ]; then
    echo "Ormet-Master is not built yet (looked in $build_dir/meter); skipping it."
    want_ormet=0
fi
if [ $want_busprobe = 0 ] && [ $want_ormet = 0 ]; then
    echo "Nothing to start."
    exit 0
fi

export COMPORTS_DIR=$work/comports
mkdir -p "$COMPORTS_DIR"

# --- the devices ---
slave_path="" meter_path=""
if [ -n "$device" ]; then
    if [ ! -e "$device" ]; then
        echo "demo: $device does not exist" >&2
        exit 1
    fi
    ln -s "$device" "$COMPORTS_DIR/COM1"
    echo "$device is mapped as COM1."
else
    if [ $want_busprobe = 1 ]; then
        if [ -z "$slave_bin" ]; then
            echo "demo: modbus-slave-sim is not built" >&2
            exit 1
        fi
        "$slave_bin" --comports-dir "$COMPORTS_DIR" --com 1 >"$work/slave.out" 2>"$work/slave.err" &
        started+=("$!")
        if ! slave_path=$(first_line "$work/slave.out" "$!"); then
            echo "demo: the Modbus slave simulator did not start:" >&2
            cat "$work/slave.err" >&2
            exit 1
        fi
        echo "Modbus slave simulator: slave 1, 9600 8N1, on $slave_path, mapped as COM1."
    fi
    if [ $want_ormet = 1 ]; then
        if [ -z "$meter_bin" ]; then
            echo "demo: ormet-meter-sim is not built" >&2
            exit 1
        fi
        "$meter_bin" --link "$COMPORTS_DIR" --com 2 >"$work/meter.out" 2>"$work/meter.err" &
        started+=("$!")
        if ! meter_path=$(first_line "$work/meter.out" "$!"); then
            echo "demo: the meter simulator did not start:" >&2
            cat "$work/meter.err" >&2
            exit 1
        fi
        echo "Meter simulator: slave 0xF8, 9600 8N1, on $meter_path, mapped as COM2."
    fi
fi
echo "Port map directory: $COMPORTS_DIR"

# --- busprobe's settings: a private file it will read, preset on COM1 ---
busprobe_env=()
if [ $want_busprobe = 1 ]; then
    if [ -w "$(dirname "$busprobe_bin")" ]; then
        # A writable program folder holds the settings file: run a private copy beside its own.
        mkdir -p "$work/busprobe"
        cp "$busprobe_bin" "$work/busprobe/busprobe"
        busprobe_bin=$work/busprobe/busprobe
        ini=$work/busprobe/modbus_cfg.ini
    else
        busprobe_env=("XDG_CONFIG_HOME=$work/config")
        mkdir -p "$work/config/busprobe"
        ini=$work/config/busprobe/modbus_cfg.ini
    fi
    cat >"$ini" <<EOF
[Main]
PortNo=1
Baud=$baud_ordinal
[01H]
485Addr=1
RegAddr=0
RegNum=8
[02H]
485Addr=1
RegAddr=0
RegNum=8
[03H]
485Addr=1
RegAddr=0
RegNum=4
[04H]
485Addr=1
RegAddr=0
RegNum=3
[05H]
485Addr=1
RegAddr=1
RegValue=0xFF00
[06H]
485Addr=1
RegAddr=1
RegValue=3
[10H]
485Addr=1
RegAddr=2
RegValue=00 0A 01 02
[Any]
Value=01 03 00 00 00 0A
EOF
fi

# --- interactive run ---
if [ $smoke = 0 ]; then
    pids=()
    if [ $want_busprobe = 1 ]; then
        echo "busprobe: COM1 at $baud is preset; press 打开串口, then 读取 in the 03H group."
        env "${busprobe_env[@]}" "$busprobe_bin" &
        pids+=("$!")
        started+=("$!")
    fi
    if [ $want_ormet = 1 ]; then
        if [ -n "$device" ]; then
            echo "Ormet-Master: press 通信设置, choose COM1 and the meter's speed, then 开始测量."
        else
            echo "Ormet-Master: press 通信设置, choose COM2 at 9600, OK, then 开始测量."
        fi
        "$ormet_bin" &
        pids+=("$!")
        started+=("$!")
    fi
    echo "Close the windows to stop the simulators."
    for pid in "${pids[@]}"; do
        wait "$pid" || true
        reaped[$pid]=1
    done
    exit 0
fi

# --- headless smoke check ---
# A program that knows the smoke variable performs its exchange, prints one line and quits;
# one that does not yet is only checked for showing its window.
#   BUSPROBE_SMOKE=1: once its window shows, busprobe opens the port of its settings file as
#     "打开串口" does, sends the 03H group's request as "读取" does, waits (at most 20 s) until the
#     reply is decoded into Edit03_RegValue, prints "BUSPROBE_SMOKE 03H: <that text>" on stdout,
#     closes its window the normal way and exits 0. Any failure (the message a box would show, or
#     "no reply") becomes "BUSPROBE_SMOKE FAIL: <text>" and exit 1, without a modal box.
#   ORMET_SMOKE=1 (with ORMET_SMOKE_PORT=n, default 2): once its dialog shows, Ormet-Master takes
#     COMn at 9600 as an OK in "通信设置" does, starts "开始测量", waits (at most 20 s) for the first
#     values in the displays, prints "ORMET_SMOKE U: <voltage as shown>" on stdout, stops measuring,
#     closes as "退出" does and exits 0; a failure prints "ORMET_SMOKE FAIL: <text>" and exits 1.
failed=0
smoke_pids=() smoke_names=()
start_smoke() {
    local name=$1 var=$2 bin=$3
    shift 3
    if ! grep -qa "$var" "$bin"; then
        echo "SKIP $name exchange: the program does not support $var yet; checking its window only."
        show_and_close "$name" "$bin" || failed=1
        return 0
    fi
    env "$var=1" "$@" "$bin" >"$work/$name.out" 2>"$work/$name.err" &
    started+=("$!")
    smoke_pids+=("$!")
    smoke_names+=("$name")
}
[ $want_busprobe = 1 ] && start_smoke busprobe BUSPROBE_SMOKE "$busprobe_bin" "${busprobe_env[@]}"
meter_com=2
[ -n "$device" ] && meter_com=1
[ $want_ormet = 1 ] && start_smoke Ormet-Master ORMET_SMOKE "$ormet_bin" ORMET_SMOKE_PORT=$meter_com

deadline=$((SECONDS + 60))
for i in "${!smoke_pids[@]}"; do
    pid=${smoke_pids[$i]} name=${smoke_names[$i]}
    while alive "$pid" && [ $SECONDS -lt $deadline ]; do sleep 0.2; done
    if alive "$pid"; then
        echo "FAIL $name: still running after 60 s" >&2
        failed=1
        stop_pid "$pid"
    fi
    rc=0
    [ -n "${reaped[$pid]:-}" ] || wait "$pid" || rc=$?
    reaped[$pid]=1
    out=$work/$name.out
    case "$name" in
    busprobe)
        # Holding registers 0-3 of the simulator, as the 03H group decodes them.
        if grep -q '^BUSPROBE_SMOKE 03H: 0064 01F4 1234 ABCD' "$out" && [ $rc = 0 ]; then
            echo "OK busprobe: $(grep '^BUSPROBE_SMOKE' "$out")"
        else
            echo "FAIL busprobe (exit $rc):" >&2
            cat "$out" "$work/$name.err" >&2
            failed=1
        fi
        ;;
    Ormet-Master)
        # The meter simulator logs each reply it sent: the value must come from a real exchange.
        if grep -Eq '^ORMET_SMOKE U: *[0-9]+(\.[0-9]+)?' "$out" && [ $rc = 0 ] &&
            { [ -n "$device" ] || grep -Eq '^reply [0-9]+ [0-9A-Fa-f]' "$work/meter.out"; }; then
            echo "OK Ormet-Master: $(grep '^ORMET_SMOKE' "$out" | head -n 1)"
        else
            echo "FAIL Ormet-Master (exit $rc):" >&2
            cat "$out" "$work/$name.err" >&2
            failed=1
        fi
        ;;
    esac
done
exit $failed
