#!/usr/bin/env bash
# Cross-builds divovod.exe and the console smoke program with mingw-w64 (warnings are errors here),
# then runs under wine: the smoke program; the smoke program again with its menu idle while this
# script measures the CPU that the key wait costs; divovod.exe with keys typed at its terminal;
# and divovod.exe end to end: whole creations (answers typed at the console, answers from a file
# through cmd's redirection, a picture name with an accent and one with an en dash, an episode
# name code page 437 cannot hold, asked again), each episode file compared byte for
# byte with the one the Linux build writes for the same pictures and answers, the menu read back
# from the console's cells under code pages 437 and 65001, a failure's reason and key wait, and a
# write into a missing folder; then
# its command line (build, show --json, extract, build again, exit statuses) against the Linux one.
# Exit status: the smoke program's; 1 when only a later check failed; non-zero too when the build
# fails or a run overstays its time (124).
#
#   make windows-check            or            LINUX_PROGRAM=build/divovod bash scripts/windows-check.sh
#
# LINUX_PROGRAM is the Linux build of the same sources (make windows-check builds it first); the
# pictures come from ImageMagick's convert.
# Needs no terminal and no standard input (CI): wine gives a program a console only when it runs
# in a terminal, so `script` makes a pseudo-terminal for it. Every run uses a fresh wine prefix in
# a temporary folder and stops its wine server at the end, since a runner that waits on pipes the
# server inherited would otherwise hang for minutes.
set -euo pipefail

cd "$(dirname "$0")/.."
build_dir=${WINDOWS_BUILD:-build-windows}
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}

for tool in x86_64-w64-mingw32-g++ cmake wine wineserver script timeout convert cmp python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "windows-check: $tool is not installed" >&2
    exit 2
  fi
done

SECONDS=0
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build "$build_dir" -j "$jobs" --target divovod console_smoke console_screen
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

# Starts a program (a Windows one: `wine PROGRAM`) in a pseudo-terminal of 80x25, in a folder
# (the work folder unless a third argument names another), in the background; its screen output
# goes to a log kept in the build folder for a failure. Its terminal reads what this script
# writes to fd 3, so keys can be typed at it; `run` is its process id.
start_in_terminal() {
  local log=$1 command=$2 folder=${3:-$work}
  rm -f "$work/keys"
  mkfifo "$work/keys"
  (cd "$folder" && timeout -k 5 60 script -qec \
    "stty rows 25 cols 80 2>/dev/null; exec $command" /dev/null <"$work/keys" >"$log" 2>&1) &
  run=$!
  exec 3>"$work/keys"
}

# Types at the terminal. In a subshell: should the program be gone, the broken pipe ends that
# and not this script.
type_keys() { (printf '%b' "$1" >&3) 2>/dev/null || true; }

# Types at the terminal and closes it.
type_and_close() {
  type_keys "$1"
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

# Wine's console draws a run of blanks as a cursor move, so texts are compared without blanks.
screen_text() { sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$log_of_run" | tr -d ' \r\n'; }
screen_shows() { screen_text | grep -qF "${1// /}"; }

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
start_in_terminal "$log_of_run" "wine '$smoke' report.txt"
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
start_in_terminal "$log_of_run" "wine '$smoke' --idle-menu"
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
start_in_terminal "$log_of_run" "wine '$program'"
wait_for screen_shows Quit || true
type_and_close '\e[B\eOP\e[H\r'
program_status=0
wait "$run" || program_status=$?
verdict=FAIL
((program_status == 0)) && verdict=PASS
check "$verdict" "divovod.exe: Down, F1, Home, Enter typed at its terminal choose Quit\
 (exit status $program_status)"

# 4. divovod.exe end to end. The same pictures and answers go to the Linux build and, in four
# runs, to divovod.exe; every episode file must equal the Linux one byte for byte.
linux_program=${LINUX_PROGRAM:-}
answers=(episode.bmp title.bmp lowtitle.bmp 7 "Wine Keep" keep1.lev)

# Three 8-bit pictures from a real writer, of widths 37, 64 and 101 (every width class of the
# rows' padding), the second RLE8-compressed; and the first again under a name with an accent.
make_pictures() {
  convert -size 37x23 gradient:red-blue -colors 200 -type Palette -compress none \
    BMP3:"$1/episode.bmp"
  convert -seed 7 -size 64x40 plasma:fractal -colors 150 -type Palette -compress RLE \
    BMP3:"$1/title.bmp"
  convert -seed 3 -size 101x7 plasma:fractal -colors 60 -type Palette -compress none \
    BMP3:"$1/lowtitle.bmp"
  cp "$1/episode.bmp" "$1/épisode.bmp"
  cp "$1/title.bmp" "$1/titre – un.bmp"
}

# The answers as lines, then the episode file's name; CRLF with a second argument "crlf", as a
# Windows editor saves them.
answer_lines() {
  local ending='\n'
  [[ ${2:-} == crlf ]] && ending='\r\n'
  printf "%s$ending" "${answers[@]}" "$1"
}

# How often a text has shown on the screen of the run so far.
times_shown() { screen_text | grep -oF "${1// /}" | wc -l; }
menu_shown_more_than() { (($(times_shown Quit) > $1)); }

# The closing wait, then Quit: a key at "Press any button", then Down and Enter at the menu that
# follows. A redirected run reaches the closing wait on its own; a typed one gets here after the
# last answer. Ends the run and gives its exit status in `ended`.
finish_creation() {
  wait_for screen_shows "$1" || true
  local menus
  menus=$(times_shown Quit)
  type_keys 'x'
  wait_for menu_shown_more_than "$menus" || true
  type_keys '\e[B'
  sleep 0.3
  type_keys '\r'
  ended=0
  wait "$run" || ended=$?
  exec 3>&-
}

# Types the answers at the console, each once its question is on the screen.
type_answers() {
  local prompt
  local -a prompts=("episode image and press enter" "title image and press enter"
    "lowtitle image and press enter" "episode list:" "name of the episode" "start level:"
    "episode filename!:")
  local -a typed=("$@")
  for i in "${!prompts[@]}"; do
    prompt=${prompts[$i]}
    wait_for screen_shows "$prompt" || return 0
    type_keys "${typed[$i]}\r"
  done
}

# A run of divovod.exe watched by console_screen under a code page: its menu read back cell by
# cell, its exit status and where it leaves the cursor. $1 code page, $2 name of the run, then
# the command line. The watcher's report lines join this script's.
start_watched() {
  local page=$1 name=$2
  shift 2
  rm -f "$work/menu-checked"
  log_of_run="$PWD/$build_dir/divovod.$name.log"
  start_in_terminal "$log_of_run" "wine console_screen.exe $page report-$name.txt $*"
  wait_for test -e "$work/menu-checked" || true
}

watched_verdicts() {
  if [[ -s "$work/report-$1.txt" ]]; then
    sed "s/^\(PASS\|FAIL\)  /\1  $1: /" "$work/report-$1.txt"
    grep -q '^FAIL' "$work/report-$1.txt" && [[ $status -eq 0 ]] && status=1
  else
    check FAIL "$1: the screen watcher wrote no report"
  fi
  return 0
}

same_as_linux() {  # $1 name of the run, $2 the file it wrote
  local verdict=FAIL seen
  seen="$(cmp "$work/linux/keep.z4k" "$work/$2" 2>&1)" && verdict=PASS
  check "$verdict" "$1: $2 is byte for byte the file the Linux build wrote${seen:+ ($seen)}"
}

if [[ -z $linux_program || ! -x $linux_program ]]; then
  check FAIL "end to end: no Linux build to compare with (LINUX_PROGRAM='$linux_program')"
else
  linux_program=$(cd "$(dirname "$linux_program")" && pwd)/$(basename "$linux_program")
  make_pictures "$work"
  cp "$program" "$PWD/$build_dir/console_screen.exe" "$work/"
  mkdir "$work/linux"
  cp "$work"/*.bmp "$work/linux/"
  answer_lines keep.z4k >"$work/linux/answers.txt"

  # The reference: the Linux build, answers from the file, keys at its terminal.
  log_of_run="$PWD/$build_dir/linux-reference.log"
  start_in_terminal "$log_of_run" "'$linux_program' < answers.txt" "$work/linux"
  wait_for screen_shows Quit && type_keys '\r'
  finish_creation "Press any button"
  verdict=FAIL
  [[ $ended -eq 0 && -s "$work/linux/keep.z4k" ]] && verdict=PASS
  check "$verdict" "the Linux build writes the reference file (exit status $ended)"

  # a. Answers typed at the console; code page 437, the console's own on a western Windows.
  start_watched 437 typed divovod.exe
  type_keys '\r'
  type_answers "${answers[@]}" typed.z4k
  finish_creation "Press any button"
  watched_verdicts typed
  same_as_linux "typed at the console" typed.z4k

  # a2. Enter on the menu and all seven answers typed at once, ahead of their questions: the
  # console keeps them for the answers, none is lost to a key wait or a flush.
  start_watched 437 ahead divovod.exe
  type_keys "\r$(printf '%s\\r' "${answers[@]}" ahead.z4k)"
  finish_creation "Press any button"
  watched_verdicts ahead
  same_as_linux "answers typed ahead at the console" ahead.z4k

  # b. Answers from a file with CRLF line ends, through cmd's redirection (with a bare `wine
  # divovod.exe < file` wine's console would have no keyboard); code page 65001.
  answer_lines fromfile.z4k crlf >"$work/answers.txt"
  start_watched 65001 fromfile cmd /c divovod.exe '"<"' answers.txt
  type_keys '\r'
  finish_creation "Press any button"
  watched_verdicts fromfile
  same_as_linux "answers from a file, code page 65001" fromfile.z4k

  # c. A picture name with an accent, typed at the console: the name reaches the file system as
  # the user sees it.
  start_watched 437 accent divovod.exe
  type_keys '\r'
  type_answers épisode.bmp "${answers[@]:1}" accent.z4k
  finish_creation "Press any button"
  watched_verdicts accent
  same_as_linux "picture name épisode.bmp typed at the console" accent.z4k

  # c2. A picture name with an en dash, which code page 437 lacks, typed at the console: it is
  # read as UTF-16 and opens the file. An episode name with one cannot be stored in that code
  # page: it is asked for again, with a line saying which character, and the next one is stored.
  start_watched 437 dash divovod.exe
  type_keys '\r'
  wait_for screen_shows "episode image and press enter" && type_keys 'episode.bmp\r'
  wait_for screen_shows "title image and press enter" && type_keys 'titre – un.bmp\r'
  wait_for screen_shows "lowtitle image and press enter" && type_keys 'lowtitle.bmp\r'
  wait_for screen_shows "episode list:" && type_keys '7\r'
  wait_for screen_shows "name of the episode" && type_keys 'Wine – Keep\r'
  wait_for screen_shows "Please enter it again" && type_keys 'Wine Keep\r'
  wait_for screen_shows "start level:" && type_keys 'keep1.lev\r'
  wait_for screen_shows "episode filename!:" && type_keys 'dash.z4k\r'
  finish_creation "Press any button"
  watched_verdicts dash
  same_as_linux "picture name with an en dash typed at the console" dash.z4k
  verdict=FAIL
  screen_shows "cannot be stored: code page 437" && verdict=PASS
  check "$verdict" "an episode name with an en dash under code page 437 is asked for again, saying why"

  # c3. A failure says why, then that it waits for a key.
  log_of_run="$PWD/$build_dir/divovod.reason.log"
  start_in_terminal "$log_of_run" "wine divovod.exe"
  wait_for screen_shows Quit && type_keys '\r'
  wait_for screen_shows "episode image and press enter" && type_keys 'absent – x.bmp\r'
  finish_creation "Press any button"
  verdict=FAIL
  screen_shows "x.bmp: cannot be opened (" && screen_shows "Press any button" &&
    ((ended == 0)) && verdict=PASS
  check "$verdict" "a picture that cannot be opened: the reason, then Press any button (exit\
 status $ended)"

  # d. Ctrl+Z then Enter, Windows' end of input, at the first question ends that dialogue: no
  # further question, the menu back after a key.
  log_of_run="$PWD/$build_dir/divovod.end-of-input.log"
  start_in_terminal "$log_of_run" "wine divovod.exe"
  wait_for screen_shows Quit && type_keys '\r'
  wait_for screen_shows "episode image and press enter" && type_keys '\x1a\r'
  # The key goes after "Press any button": a key typed before it, after a failure, is thrown away
  # as typed ahead.
  finish_creation "Press any button"
  verdict=FAIL
  screen_shows "Couldn't open file" && ! screen_shows "title image" && ((ended == 0)) && verdict=PASS
  check "$verdict" "Ctrl+Z then Enter at the first question ends that dialogue; Quit after it\
 (exit status $ended)"

  # e. The episode file in a folder that does not exist: the failure is reported, and neither
  # the file nor a temporary one is left anywhere.
  answer_lines 'missing\out.z4k' crlf >"$work/answers-missing.txt"
  start_watched 437 missing cmd /c divovod.exe '"<"' answers-missing.txt
  type_keys '\r'
  finish_creation "Press any button"
  watched_verdicts missing
  leftovers=$(cd "$work" && find . -path ./prefix -prune -o \( -name '*.tmp' -o -name '*out.z4k*' \
    -o -name 'missing*' \) -print)
  verdict=FAIL
  screen_shows "Couldn't write file" && [[ -z $leftovers ]] && verdict=PASS
  check "$verdict" "a write into a missing folder says \"Couldn't write file\" and leaves no file\
${leftovers:+ (left: $leftovers)}"
fi

# 5. divovod.exe's command line: no console, standard input from /dev/null. Non-ASCII arguments
# reach a wine program whole only under a UTF-8 locale, hence LC_ALL for its runs. Pictures and
# the episode file sit in folders and under names with é and ü; every file is compared with the
# one the Linux build writes. Under that locale wine's ANSI code page is 1252, the one build
# stores the name in when standard input is not a console: the Linux build gets those bytes.
cli_run() {  # $1 program (wine runs a .exe), then its arguments; sets cli_status, cli.out, cli.err
  local program=$1
  shift
  cli_status=0
  if [[ $program == *.exe ]]; then
    (cd "$work/cli" && LC_ALL=C.UTF-8 timeout 60 wine "$program" "$@") \
      </dev/null >"$work/cli.out" 2>"$work/cli.err" || cli_status=$?
  else
    (cd "$work/cli" && timeout 60 "$program" "$@") </dev/null >"$work/cli.out" 2>"$work/cli.err" ||
      cli_status=$?
  fi
}

# `build` by either program; $1 the program, $2 the folder separator, $3 the name, $4 the output,
# then the three pictures' names in their folder.
cli_build() {
  local program=$1 sep=$2 name=$3 output=$4
  cli_run "$program" build -e "images é$sep$5" -t "images é$sep$6" -l "images é$sep$7" -p 7 \
    -n "$name" -s keep1.lev -o "$output"
}

# The JSON of `show --json` but for its "file" field, the path as given; CR LF as LF.
json_without_file() { tr -d '\r' <"$work/cli.out" | sed 's/"file":"[^"]*",//'; }

same_files() {  # $1 what is checked, then two files
  local verdict=FAIL seen
  seen="$(cmp "$2" "$3" 2>&1)" && verdict=PASS
  check "$verdict" "$1${seen:+ ($seen)}"
}

if [[ -n $linux_program && -x $linux_program ]]; then
  mkdir -p "$work/cli/images é" "$work/cli/sortie ü" "$work/cli/linux ü" "$work/cli/extrait é" \
    "$work/cli/linux extrait"
  cp "$work/épisode.bmp" "$work/cli/images é/épisode.bmp"
  cp "$work/title.bmp" "$work/cli/images é/tïtle ü.bmp"
  cp "$work/lowtitle.bmp" "$work/cli/images é/lowtitle.bmp"
  pictures=("épisode.bmp" "tïtle ü.bmp" lowtitle.bmp)
  windows_file='sortie ü\épisode ü.z4k'
  linux_file='linux ü/épisode ü.z4k'

  cli_build "$linux_program" / $'Ch\xe2teau Wine' "$linux_file" "${pictures[@]}"
  linux_status=$cli_status
  cli_build "$program" '\' 'Château Wine' "$windows_file" "${pictures[@]}"
  verdict=FAIL
  ((linux_status == 0 && cli_status == 0)) && verdict=PASS
  check "$verdict" "command line: build with é and ü in folder and file names (exit status\
 $cli_status; Linux $linux_status)"
  same_files "command line: $windows_file is byte for byte the Linux build's, the name in code\
 page 1252" "$work/cli/sortie ü/épisode ü.z4k" "$work/cli/$linux_file"

  cli_run "$linux_program" show --json "$linux_file"
  linux_json=$(json_without_file)
  cli_run "$program" show --json "$windows_file"
  verdict=FAIL
  ((cli_status == 0)) && [[ $(json_without_file) == "$linux_json" ]] &&
    [[ $linux_json == *'"intact":true'* ]] && verdict=PASS
  check "$verdict" "command line: show --json says intact, as the Linux build does (exit status\
 $cli_status)"

  cli_run "$linux_program" extract "$linux_file" -d "linux extrait" \
    --palette "images é/épisode.bmp" --title-size 64x40
  linux_status=$cli_status
  cli_run "$program" extract "$windows_file" -d 'extrait é' --palette 'images é\épisode.bmp' \
    --title-size 64x40
  extract_status=$cli_status
  cli_run "$program" build -e 'extrait é\episode.bmp' -t 'extrait é\title.bmp' \
    -l 'extrait é\lowtitle.bmp' -p 7 -n 'Château Wine' -s keep1.lev -o 'sortie ü\encore.z4k'
  verdict=FAIL
  ((linux_status == 0 && extract_status == 0 && cli_status == 0)) && verdict=PASS
  check "$verdict" "command line: extract, then build from what it wrote (exit statuses\
 $extract_status, $cli_status; Linux extract $linux_status)"
  for picture in episode title lowtitle; do
    same_files "command line: extract wrote $picture.bmp as the Linux build does" \
      "$work/cli/extrait é/$picture.bmp" "$work/cli/linux extrait/$picture.bmp"
  done
  same_files "command line: build from the extracted pictures gives back the same file" \
    "$work/cli/sortie ü/encore.z4k" "$work/cli/sortie ü/épisode ü.z4k"

  # The exit statuses scripts rely on, with the words that go with them.
  cli_build "$program" '\' Keep 'sortie ü\none.z4k' missing.bmp "${pictures[@]:1}"
  verdict=FAIL
  ((cli_status == 1)) && grep -qF 'missing.bmp: cannot be opened' "$work/cli.err" && verdict=PASS
  check "$verdict" "command line: a missing picture, exit status 1 (got $cli_status)"
  cli_build "$program" '\' Keep 'images é\tïtle ü.bmp' "${pictures[@]}"
  verdict=FAIL
  ((cli_status == 1)) && grep -qF 'is one of the pictures' "$work/cli.err" &&
    cmp -s "$work/title.bmp" "$work/cli/images é/tïtle ü.bmp" && verdict=PASS
  check "$verdict" "command line: the output is one of the pictures, exit status 1, the picture\
 untouched (got $cli_status)"
  cli_run "$program" build --colour red
  verdict=FAIL
  ((cli_status == 2)) && grep -q '^usage: divovod' "$work/cli.err" && verdict=PASS
  check "$verdict" "command line: a usage error, exit status 2 (got $cli_status)"
  cli_build "$program" '\' 'Ωmega' 'sortie ü\omega.z4k' "${pictures[@]}"
  verdict=FAIL
  ((cli_status == 2)) && grep -qF "'Ω' cannot be stored: code page 1252" "$work/cli.err" &&
    [[ ! -e "$work/cli/sortie ü/omega.z4k" ]] && verdict=PASS
  check "$verdict" "command line: a name code page 1252 cannot hold, exit status 2 (got\
 $cli_status)"

  # PNG through the Windows Imaging Component: not the same bytes as libspng's, but the same
  # size, indices and 256-entry palette once decoded (by Pillow).
  cli_run "$linux_program" extract "$linux_file" -d "linux png" --format png \
    --palette "images é/épisode.bmp" --title-size 64x40
  linux_status=$cli_status
  cli_run "$program" extract "$windows_file" -d 'png é' --format png \
    --palette 'images é\épisode.bmp' --title-size 64x40
  for picture in episode title lowtitle; do
    verdict=FAIL
    seen=$(/usr/bin/python3 - "$work/cli/png é/$picture.png" "$work/cli/linux png/$picture.png" \
      2>&1 <<'PYTHON'
import sys
from PIL import Image
def decoded(path):
    image = Image.open(path)
    with open(path, "rb") as file:
        plte = file.read().split(b"PLTE")[0][-4:]
    return image.mode, image.size, len(image.getpalette()), image.getpalette(), image.tobytes(), plte
windows, linux = decoded(sys.argv[1]), decoded(sys.argv[2])
assert windows[0] == "P" and windows[2] == 768 and windows[5] == b"\0\0\3\0", windows[:3]
assert windows == linux, "decoded pictures differ"
PYTHON
    ) && ((cli_status == 0 && linux_status == 0)) && verdict=PASS
    check "$verdict" "command line: extract --format png wrote $picture.png, decoded as the Linux\
 build's: indexed, 256 colours (exit status $cli_status)${seen:+ ($seen)}"
  done

  # 6. show --preview on the console: colour sequences through the console's virtual-terminal
  # processing and the half blocks written as UTF-16, read back from the terminal that wine's
  # console draws on. Wine redraws what scrolls, so a cell may show more than once, never less.
  half_block=$'\xe2\x96\x80'  # U+2580 in UTF-8
  drawn_by_linux=$(cd "$work/cli" && LC_ALL=C.UTF-8 timeout 60 "$linux_program" show --preview \
    --width 8 --title-size 64x40 "$linux_file" </dev/null | grep -o "$half_block" | wc -l)
  log_of_run="$PWD/$build_dir/divovod.preview.log"
  start_in_terminal "$log_of_run" "env LC_ALL=C.UTF-8 wine '$program' show --preview\
 --width 8 --title-size 64x40 'sortie ü/épisode ü.z4k'" "$work/cli"
  type_and_close ""
  preview_status=0
  wait "$run" || preview_status=$?
  drawn=$(grep -o "$half_block" "$log_of_run" | wc -l)
  verdict=FAIL
  ((preview_status == 0 && drawn_by_linux > 0 && drawn >= drawn_by_linux)) &&
    grep -q $'\e\\[[0-9;]*m' "$log_of_run" && screen_shows "episode image, 37 x 23" &&
    screen_shows "title image, 64 x 40" && verdict=PASS
  check "$verdict" "command line: show --preview draws $drawn half blocks on the console in\
 colour (Linux: $drawn_by_linux; exit status $preview_status)"
fi

# 6. Pictures into the game's colours: PNG through the Imaging Component. Indexed PNG of every
# depth (written byte by byte by tests/e2e/png_cases.py, and interlaced by ImageMagick), true
# colour at 8 and 16 bits, RGBA, grey, and true-colour bitmaps, each built with a palette by both
# programs and compared byte for byte; the same bad PNGs refused by both with the same words.
if [[ -n $linux_program && -x $linux_program ]]; then
  colours="$work/colours"
  mkdir -p "$colours/cli" "$colours/linux"
  python3 tests/e2e/png_cases.py "$colours/cli"
  # A 4-bit picture whose PLTE has 4 entries while its pixels use all 16 indices.
  python3 - "$colours/cli/short-palette.png" <<'SHORT'
import sys, zlib
sys.path.insert(0, "tests/e2e")
from png_cases import chunk, header, indexed_rows, palette
rows, _ = indexed_rows(9, 7, 4)
with open(sys.argv[1], "wb") as out:
    out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header(9, 7, 4, 3)) + chunk(b"PLTE", palette(4)) +
              chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
SHORT
  python3 - "$colours/cli/game.gpl" <<'PALETTE'
import sys
with open(sys.argv[1], "w", newline="\n") as out:
    out.write("GIMP Palette\nName: game\nColumns: 16\n# the colours of the game\n")
    for i in range(256):
        out.write("%3d %3d %3d\tcolour %d\n" % ((i * 37) % 256, (i * 91 + 7) % 256, (i * 13) % 256, i))
PALETTE
  (
    cd "$colours/cli"
    convert -size 45x31 plasma:fractal -seed 3 base.png
    convert base.png -colors 16 -interlace PNG PNG8:interlaced.png
    convert base.png PNG24:rgb.png
    convert base.png -depth 16 PNG48:rgb-16.png
    convert base.png -alpha set -channel A -fx 'i<6?0:(i<9?0.5:1)' +channel PNG32:rgba.png
    convert rgba.png -depth 16 PNG64:rgba-16.png
    convert base.png -colorspace gray -depth 16 PNG:grey-16.png
    convert base.png -type TrueColor BMP3:true.bmp
  ) >/dev/null 2>&1
  colour_run() {  # $1 program, $2 output, then options
    local program=$1 output=$2
    shift 2
    (cd "$colours/cli" && if [[ $program == *.exe ]]; then LC_ALL=C.UTF-8 timeout 60 wine \
        "$program" "$@" -o "$output"; else timeout 60 "$program" "$@" -o "$output"; fi) \
      </dev/null >"$work/colour.out" 2>"$work/colour.err"
  }
  colour_case() {  # $1 picture, then options
    local picture=$1 linux_status=0 windows_status=0
    shift
    colour_run "$linux_program" "../linux/$picture.z4k" build -e "$picture" -t "$picture" \
      -l "$picture" -p 2 -n Colours -s c1.lev "$@" || linux_status=$?
    colour_run "$program" "$picture.z4k" build -e "$picture" -t "$picture" -l "$picture" -p 2 \
      -n Colours -s c1.lev "$@" || windows_status=$?
    if ((linux_status != 0 || windows_status != 0)); then
      check FAIL "colours: $picture${*:+ $*} (exit statuses $windows_status; Linux $linux_status)"
      return
    fi
    same_files "colours: $picture${*:+ $*} is byte for byte the Linux build's" \
      "$colours/cli/$picture.z4k" "$colours/linux/$picture.z4k"
  }
  for picture in good-1-bits.png good-2-bits.png good-4-bits.png good-8-bits.png interlaced.png \
      good-side-chunks-at-their-bound.png short-palette.png; do
    colour_case "$picture"
  done
  for picture in good-2-bits.png interlaced.png rgb.png rgb-16.png rgba.png rgba-16.png \
      grey-16.png true.bmp; do
    colour_case "$picture" --palette game.gpl
  done
  colour_case rgba.png --palette game.gpl --transparent-index 0
  colour_case rgba-16.png --palette game.gpl --dither --transparent-index 3
  for picture in "$colours"/cli/bad-*.png "$colours"/cli/*claim*.png "$colours"/cli/cut*.png \
      "$colours"/cli/zero-width.png "$colours"/cli/indexed-without-palette.png \
      "$colours"/cli/short-image-data.png "$colours"/cli/bit-depth-3.png \
      "$colours"/cli/not-deflate.png; do
    picture=$(basename "$picture")
    linux_status=0
    windows_status=0
    colour_run "$linux_program" none.z4k build -e "$picture" -t good-4-bits.png \
      -l good-4-bits.png -p 2 -n Colours -s c1.lev || linux_status=$?
    linux_words=$(cat "$work/colour.err")
    colour_run "$program" none.z4k build -e "$picture" -t good-4-bits.png -l good-4-bits.png \
      -p 2 -n Colours -s c1.lev || windows_status=$?
    verdict=FAIL
    ((linux_status == 1 && windows_status == 1)) && [[ -n $linux_words ]] &&
      [[ $(tr -d '\r' <"$work/colour.err") == "$linux_words" ]] &&
      [[ ! -e "$colours/cli/none.z4k" ]] && verdict=PASS
    check "$verdict" "colours: $picture refused with the Linux build's words (exit statuses\
 $windows_status; Linux $linux_status)"
  done
  # With the game's palette, indices the picture's own palette lacks have no colour to map.
  linux_status=0
  windows_status=0
  colour_run "$linux_program" none.z4k build -e short-palette.png -t good-4-bits.png \
    -l good-4-bits.png -p 2 -n Colours -s c1.lev --palette game.gpl || linux_status=$?
  linux_words=$(cat "$work/colour.err")
  colour_run "$program" none.z4k build -e short-palette.png -t good-4-bits.png \
    -l good-4-bits.png -p 2 -n Colours -s c1.lev --palette game.gpl || windows_status=$?
  verdict=FAIL
  ((linux_status == 1 && windows_status == 1)) && [[ $linux_words == *"past the picture's 4-colour palette"* ]] &&
    [[ $(tr -d '\r' <"$work/colour.err") == "$linux_words" ]] && verdict=PASS
  check "$verdict" "colours: indices past a PNG's own palette refused with --palette in the Linux\
 build's words (exit statuses $windows_status; Linux $linux_status)"
  # PNG palette files go through the same checks and the Imaging Component's decoding: indexed
  # PNGs of 8 and 2 bits and an interlaced one as the game's palette, and every bad PNG refused
  # as a palette file in the Linux build's words.
  colour_case rgb.png --palette good-8-bits.png
  colour_case rgba.png --palette good-2-bits.png --dither
  colour_case base.png --palette interlaced.png
  for palette in "$colours"/cli/bad-*.png "$colours"/cli/*claim*.png "$colours"/cli/cut*.png \
      "$colours"/cli/zero-width.png "$colours"/cli/indexed-without-palette.png \
      "$colours"/cli/short-image-data.png "$colours"/cli/not-deflate.png; do
    palette=$(basename "$palette")
    linux_status=0
    windows_status=0
    colour_run "$linux_program" none.z4k build -e good-4-bits.png -t good-4-bits.png \
      -l good-4-bits.png -p 2 -n Colours -s c1.lev --palette "$palette" || linux_status=$?
    linux_words=$(cat "$work/colour.err")
    colour_run "$program" none.z4k build -e good-4-bits.png -t good-4-bits.png \
      -l good-4-bits.png -p 2 -n Colours -s c1.lev --palette "$palette" || windows_status=$?
    verdict=FAIL
    ((linux_status == 1 && windows_status == 1)) && [[ $linux_words == *"palette file"* ]] &&
      [[ $(tr -d '\r' <"$work/colour.err") == "$linux_words" ]] &&
      [[ ! -e "$colours/cli/none.z4k" ]] && verdict=PASS
    check "$verdict" "colours: the palette file $palette refused with the Linux build's words\
 (exit statuses $windows_status; Linux $linux_status)"
  done
fi

# 6. Projects: a manifest in a folder with é, naming pictures and outputs with é, ü and an en
# dash, built by both programs, each episode file compared; then the game's palette set once in
# the config file under %APPDATA%, with a path outside the ANSI code page.
if [[ -n $linux_program && -x $linux_program ]]; then
  for side in "projet é" "linux projet é"; do
    mkdir -p "$work/cli/$side"
    cat >"$work/cli/$side/épisodes ü.toml" <<'MANIFEST'
palette = "../images é/épisode.bmp"
start_level = "keep1.lev"
episode_image = "../images é/épisode.bmp"
lowtitle_image = "../images é/lowtitle.bmp"

[[episode]]
output = "un é.z4k"
position = 1
name = "Un"
title_image = "../images é/tïtle ü.bmp"

[[episode]]
output = "deux – č.z4k"
position = 2
name = "Deux"
title_image = "../images é/épisode.bmp"
palette = ""
MANIFEST
  done
  cli_run "$linux_program" build -j 2 "linux projet é/épisodes ü.toml"
  linux_status=$cli_status
  cli_run "$program" build -j 2 'projet é\épisodes ü.toml'
  verdict=FAIL
  ((linux_status == 0 && cli_status == 0)) && [[ $(grep -c 'wrote' "$work/cli.out") == 2 ]] &&
    verdict=PASS
  check "$verdict" "projects: a manifest with é, ü and an en dash in its paths builds both\
 episodes (exit status $cli_status; Linux $linux_status)"
  for output in "un é.z4k" "deux – č.z4k"; do
    same_files "projects: $output is byte for byte the Linux build's" \
      "$work/cli/projet é/$output" "$work/cli/linux projet é/$output"
  done
  cli_run "$program" build 'projet é\épisodes ü.toml'
  verdict=FAIL
  ((cli_status == 0)) && [[ $(grep -c 'is up to date' "$work/cli.out") == 2 ]] && verdict=PASS
  check "$verdict" "projects: built again, both episodes are up to date (exit status $cli_status)"

  # Names that differ only in case are one file on Windows, even before either exists: the
  # second output would be lost, so the manifest is refused with nothing written.
  cat >"$work/cli/projet é/casse.toml" <<'MANIFEST'
palette = ""
start_level = "l"
episode_image = "../images é/épisode.bmp"
title_image = "../images é/épisode.bmp"
lowtitle_image = "../images é/lowtitle.bmp"
position = 1
name = "A"
[[episode]]
output = "Grotte É.z4k"
[[episode]]
output = "grotte é.z4k"
MANIFEST
  cli_run "$program" build 'projet é\casse.toml'
  verdict=FAIL
  ((cli_status == 2)) && grep -q 'casse.toml:11:10: output .* is also the output of the episode at' \
    "$work/cli.err" && [[ ! -e "$work/cli/projet é/Grotte É.z4k" && ! -e "$work/cli/projet é/grotte é.z4k" ]] &&
    verdict=PASS
  check "$verdict" "projects: two outputs whose names differ only in case are refused before\
 anything is written (exit status $cli_status)"
  # A manifest's output that is the manifest itself, named in other letters' case.
  sed 's/^output = "grotte é.z4k"$/output = "CASSE.TOML"/' "$work/cli/projet é/casse.toml" \
    >"$work/cli/projet é/soi.toml"
  sed -i 's/^output = "CASSE.TOML"$/output = "SOI.TOML"/' "$work/cli/projet é/soi.toml"
  cp "$work/cli/projet é/soi.toml" "$work/soi.before"
  cli_run "$program" build --force 'projet é\soi.toml'
  verdict=FAIL
  ((cli_status == 2)) && grep -q 'is the manifest' "$work/cli.err" &&
    cmp -s "$work/soi.before" "$work/cli/projet é/soi.toml" && verdict=PASS
  check "$verdict" "projects: an output that is its own manifest in other case is refused, the\
 manifest untouched (exit status $cli_status)"

  # Standard input as the episode file: read whole into a temporary file the runtime removes.
  (cd "$work/cli" && LC_ALL=C.UTF-8 timeout 60 wine "$program" show --json - \
    <"projet é/un é.z4k" >"$work/cli.out" 2>"$work/cli.err") && cli_status=0 || cli_status=$?
  windows_json=$(json_without_file)
  cli_run "$linux_program" show --json "linux projet é/un é.z4k"
  verdict=FAIL
  ((cli_status == 0)) && [[ $windows_json == "$(json_without_file)" ]] && verdict=PASS
  check "$verdict" "projects: show - reads the episode file from standard input (exit status\
 $cli_status)"

  appdata=$(wine cmd /c 'echo %APPDATA%' 2>/dev/null </dev/null | tr -d '\r')
  appdata_unix=$(winepath -u "$appdata" 2>/dev/null)
  mkdir -p "$appdata_unix/divovod"
  palette_windows=$(winepath -w "$work/cli/images é/épisode.bmp" 2>/dev/null)
  printf 'palette = "%s"\n' "${palette_windows//\\/\\\\}" >"$appdata_unix/divovod/config.toml"
  cli_run "$program" config
  config_says=$(tr -d '\r' <"$work/cli.out")
  cli_run "$linux_program" build -e "images é/tïtle ü.bmp" -t "images é/lowtitle.bmp" \
    -l "images é/épisode.bmp" -p 3 -n Set -s once.lev -o "linux ü/set once.z4k" \
    --palette "images é/épisode.bmp"
  linux_status=$cli_status
  cli_run "$program" build -e 'images é\tïtle ü.bmp' -t 'images é\lowtitle.bmp' \
    -l 'images é\épisode.bmp' -p 3 -n Set -s once.lev -o 'sortie ü\set once.z4k'
  verdict=FAIL
  ((linux_status == 0 && cli_status == 0)) && [[ $config_says == *"(from the config file "* ]] &&
    grep -q 'from the config file' "$work/cli.out" && verdict=PASS
  check "$verdict" "projects: the palette set once in %APPDATA%\\divovod\\config.toml is used and\
 named (exit status $cli_status; Linux $linux_status)"
  same_files "projects: the build with the config's palette is the Linux build's with --palette" \
    "$work/cli/sortie ü/set once.z4k" "$work/cli/linux ü/set once.z4k"
  rm -rf "$appdata_unix/divovod"
fi

# 7. A build killed before it could tidy up leaves its temporary file (Windows has no file without
# a name); the next build of the same target removes it when its process no longer runs, and
# leaves every other file alone.
if [[ -n $linux_program && -x $linux_program ]]; then
  stale="$work/cli/sortie ü/set once.z4k.4000000000-1a2b-0.tmp"
  kept=("$work/cli/sortie ü/set once.z4k.notes.tmp" "$work/cli/sortie ü/other.z4k.4000000000-1a2b-0.tmp")
  for file in "$stale" "${kept[@]}"; do printf 'left behind' >"$file"; done
  cli_run "$program" build -e 'images é\tïtle ü.bmp' -t 'images é\lowtitle.bmp' \
    -l 'images é\épisode.bmp' -p 3 -n Set -s once.lev -o 'sortie ü\set once.z4k' \
    --palette 'images é\épisode.bmp'
  verdict=FAIL
  ((cli_status == 0)) && [[ ! -e $stale && -e ${kept[0]} && -e ${kept[1]} ]] && verdict=PASS
  check "$verdict" "a killed build's temporary file goes with the next build of its target, and\
 nothing else (exit status $cli_status)"
fi

echo "windows-check: build ${build_time} s, wine prefix ${prefix_time} s," \
  "runs under wine $((SECONDS - build_time - prefix_time)) s; exit status $status"
exit "$status"
