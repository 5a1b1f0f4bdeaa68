#!/usr/bin/env bash
# Cross-builds divovod.exe and the console smoke program with mingw-w64 (warnings are errors here),
# then runs under wine: the smoke program; the smoke program again with its menu idle while this
# script measures the CPU that the key wait costs; divovod.exe with keys typed at its terminal.
# Exit status: the smoke program's; 1 when only a later check failed; non-zero too when the build
# fails or a run overstays its time (124).
#
#   make windows-check            or            bash scripts/windows-check.sh
#
# Needs no terminal and no standard input (CI): wine gives a program a console only when it runs
# in a terminal, so `script` makes a pseudo-terminal for it. Every run uses a fresh wine prefix in
# a temporary folder and stops its wine server at the end, since a runner that waits on pipes the
# server inherited would otherwise hang for minutes.
set -euo pipefail

cd "$(dirname "$0")/.."
build_dir=${WINDOWS_BUILD:-build-windows}
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}

for tool in x86_64-w64-mingw32-g++ cmake wine wineserver script timeout; do
  if ! command -v "$tool" >/dev/null; then
    echo "windows-check: $tool is not installed" >&2
    exit 2
  fi
done

SECONDS=0
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build "$build_dir" -j "$jobs" --target divovod console_smoke
build_time=$SECONDS

work=$(mktemp -d "${TMPDIR:-/tmp}/divovod-wine.XXXXXX")
export WINEPREFIX="$work/prefix"
mkdir "$WINEPREFIX"
export WINEDEBUG=-all
# No Mono and no Gecko: the prefix is made without offering to install them.
export WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# Making the prefix takes the first seconds; done apart, so the smoke run's time limit is its own.
wineserver -p >/dev/null 2>&1
if ! timeout 120 wine cmd /c exit >/dev/null 2>&1 </dev/null; then
  echo "windows-check: wine could not set up its prefix" >&2
  exit 2
fi
prefix_time=$((SECONDS - build_time))

smoke="$PWD/$build_dir/console_smoke.exe"
program="$PWD/$build_dir/divovod.exe"
status=0

# Starts a Windows program in a pseudo-terminal of 80x25, in the work folder, in the background;
# its screen output goes to a log kept in the build folder for a failure. Its terminal reads what
# this script writes to fd 3, so keys can be typed at it; `run` is its process id.
start_in_terminal() {
  local log=$1 command=$2
  rm -f "$work/keys"
  mkfifo "$work/keys"
  (cd "$work" && timeout -k 5 60 script -qec \
    "stty rows 25 cols 80 2>/dev/null; exec wine $command" /dev/null <"$work/keys" >"$log" 2>&1) &
  run=$!
  exec 3>"$work/keys"
}

# Types at the terminal and closes it. In a subshell: should the program be gone, the broken pipe
# ends that and not this script.
type_and_close() {
  (printf '%b' "$1" >&3) 2>/dev/null || true
  exec 3>&-
}

# Waits (up to 20 s) for a test to hold, while the program runs.
wait_for() {
  for _ in $(seq 200); do
    "$@" && return 0
    kill -0 "$run" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

screen_shows() { sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$log_of_run" | grep -qF "$1"; }

# CPU ticks (1/100 s) used so far by the program and the console machinery that it drives: its
# console host and the wine server, the processes of this run (they carry its WINEPREFIX) that a
# busy wait loads. Wine's other processes keep their own small background pace and are left out.
console_cpu_ticks() {
  local total=0 proc stat name
  for proc in /proc/[0-9]*; do
    { tr '\0' '\n' <"$proc/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
    stat=$(cat "$proc/stat" 2>/dev/null) || continue
    name=${stat#*(}
    name=${name%%)*}
    case $name in
      console_smoke.e | conhost.exe | wineserver*) ;;  # the kernel keeps 15 characters of a name
      *) continue ;;
    esac
    local -a fields=(${stat##*) })  # from field 3 on; utime and stime are fields 14 and 15
    total=$((total + fields[11] + fields[12]))
  done
  echo "$total"
}

ticks_as_seconds() { printf '%d.%02d' $(($1 / 100)) $(($1 % 100)); }

check() {  # verdict line for a check of this script's own
  if [[ $1 == PASS ]]; then echo "PASS  $2"; else echo "FAIL  $2"; fi
  if [[ $1 != PASS && $status -eq 0 ]]; then status=1; fi
}

# 1. The smoke program. Its terminal gets no keys: they come only from the events it queues.
log_of_run="$PWD/$build_dir/console_smoke.terminal.log"
start_in_terminal "$log_of_run" "'$smoke' report.txt"
type_and_close ""
wait "$run" || status=$?
if [[ -s "$work/report.txt" ]]; then
  cat "$work/report.txt"
else
  echo "windows-check: the smoke program wrote no report" >&2
fi
[[ $status -eq 124 ]] && echo "windows-check: the smoke program did not finish within 60 s" >&2

# 2. The menu waiting for a key must not spin. Under wine the console lives in other processes,
# and most of the cost of a busy wait shows there: hence the CPU of all three.
idle_seconds=5
idle_limit_ticks=5
log_of_run="$PWD/$build_dir/console_smoke.idle.log"
start_in_terminal "$log_of_run" "'$smoke' --idle-menu"
if wait_for test -e "$work/menu-idle" && sleep 0.5; then
  before=$(console_cpu_ticks)
  sleep "$idle_seconds"
  after=$(console_cpu_ticks)
  # A program gone before the second sample would take its CPU time with it.
  kill -0 "$run" 2>/dev/null && waiting=yes || waiting=no
  type_and_close '\r'
  idle_status=0
  wait "$run" || idle_status=$?
  used=$((after - before))
  verdict=FAIL
  [[ $waiting == yes ]] && ((idle_status == 0 && used <= idle_limit_ticks)) && verdict=PASS
  check "$verdict" "menu idle for $idle_seconds s: $(ticks_as_seconds "$used") s CPU in\
 program, console host and wine server (limit $(ticks_as_seconds "$idle_limit_ticks") s);\
 still waiting then: $waiting; Enter typed at the terminal chose item 1: exit $idle_status"
else
  type_and_close ""
  idle_status=0
  wait "$run" || idle_status=$?
  check FAIL "menu idle: the menu never reached its key wait (exit status $idle_status)"
fi

# 3. The program itself, with keys typed as the escape sequences that wine's console turns into
# key events: Down, then F1 (ESC O P) and Home (ESC [ H), whose last letters must not act as P
# and H, then Enter: "Quit", exit status 0. The keys go in once the menu is on screen; before
# that the terminal is not yet raw and would turn Enter into a line feed.
log_of_run="$PWD/$build_dir/divovod.terminal.log"
start_in_terminal "$log_of_run" "'$program'"
wait_for screen_shows Quit || true
type_and_close '\e[B\eOP\e[H\r'
program_status=0
wait "$run" || program_status=$?
verdict=FAIL
((program_status == 0)) && verdict=PASS
check "$verdict" "divovod.exe: Down, F1, Home, Enter typed at its terminal choose Quit\
 (exit status $program_status)"

echo "windows-check: build ${build_time} s, wine prefix ${prefix_time} s," \
  "runs under wine $((SECONDS - build_time - prefix_time)) s; exit status $status"
exit "$status"
