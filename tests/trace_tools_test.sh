#!/usr/bin/env bash
# Tests of the companion tools over the program's own trace:
#   trace_tools_test.sh table|picture TRANSITION STEP_STUDY TOOLS_DIR
# table: tools/trace-to-csv and step_study; picture: tools/plot-transition, skipped (exit
# 77) with the reason where gnuplot is not installed. $EMULATOR, if set, runs the programs.
set -uo pipefail
part=$1 transition=$(realpath "$2") study=$(realpath "$3") tools=$(realpath "$4")
plot=$tools/plot-transition csv=$tools/trace-to-csv
if [ "$part" = picture ] && ! command -v gnuplot >/dev/null; then
  echo "skipped: gnuplot not installed (apt-get install gnuplot-nox)"
  exit 77
fi

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# expect_refused TOOL NAME INPUT OUT [MESSAGE]: exit non-zero, one line on stderr (beginning
# with MESSAGE, if given), OUT as it was (absent unless it existed), no temporary file left.
expect_refused() {
  local before=absent after=absent message=${5:-}
  [ ! -f "$4" ] || before=$(md5sum <"$4")
  if "$1" "$3" "$4" 2>"$dir/err"; then fail "$2: accepted"; fi
  [ "$(wc -l <"$dir/err")" -eq 1 ] || fail "$2: stderr is not one line: $(cat "$dir/err")"
  [ "$(head -c ${#message} "$dir/err")" = "$message" ] || fail "$2: $(cat "$dir/err")"
  [ ! -f "$4" ] || after=$(md5sum <"$4")
  [ "$before" = "$after" ] || fail "$2: changed or left $4"
  [ -z "$(left_behind)" ] || fail "$2: left a temporary file behind"
}
left_behind() { find "$dir" -name '.plot-transition.*' -o -name '.trace-to-csv.*'; }
: >"$dir/empty"
printf 'hello\nworld\n' >"$dir/junk"
$EMULATOR "$transition" >"$dir/trace"

if [ "$part" = table ]; then
  # One row per step; the step line's fields copied as text, the rest from the step's
  # fourth evaluation (the two evaluation lines just before the step line).
  "$csv" "$dir/trace" >"$dir/table.csv" || fail "table of the run failed"
  [ "$(head -n 1 "$dir/table.csv")" = "t,a,v,x,w,Q,lift,thrust,drag,alpha,Cx,Cz" ] || fail "header"
  [ "$(wc -l <"$dir/table.csv")" -eq 373 ] || fail "$(wc -l <"$dir/table.csv") lines, not 373"
  diff <(awk '$1 == "t" { print $2","$4","$6","$8","$10","$12","$14 }' "$dir/trace") \
    <(tail -n +2 "$dir/table.csv" | cut -d, -f1-7) >/dev/null || fail "step fields differ from the trace"
  fourth=$(awk 'NR == 7 { a = $2","$4","$6 } NR == 8 { f = $4","$6 } END { print f","a }' "$dir/trace")
  [ "$(sed -n 2p "$dir/table.csv" | cut -d, -f8-)" = "$fourth" ] ||
    fail "first row does not take the fourth evaluation's values"
  $EMULATOR "$transition" | "$csv" - "$dir/stdin.csv" || fail "table from standard input failed"
  cmp -s "$dir/table.csv" "$dir/stdin.csv" || fail "'-' with OUT gives another table"

  # A run cut in mid-line keeps its complete steps, 110 here: the 111th step line is cut
  # inside its last value, which would still read as a number.
  { head -n 998 "$dir/trace"; sed -n 999p "$dir/trace" | head -c -3; } >"$dir/cut"
  "$csv" "$dir/cut" >"$dir/cut.csv" 2>"$dir/err" || fail "a cut trace was refused"
  [ "$(wc -l <"$dir/err")" -eq 1 ] || fail "cut trace: not one warning: $(cat "$dir/err")"
  head -n 111 "$dir/table.csv" | cmp -s - "$dir/cut.csv" || fail "cut trace: not its 110 complete steps"

  expect_refused "$csv" "empty table input" "$dir/empty" "$dir/refused.csv"
  expect_refused "$csv" "junk table input" "$dir/junk" "$dir/refused.csv"
  expect_refused "$csv" "missing table input" "$dir/missing" "$dir/refused.csv"
  # A damaged trace is refused at its first wrong line, whole: no row dropped or filled in.
  while IFS='|' read -r what edit at; do
    sed "$edit" "$dir/trace" >"$dir/damaged"
    expect_refused "$csv" "$what" "$dir/damaged" "$dir/refused.csv" "$dir/damaged:$at: expected"
  done <<EOF
nan in a fourth coefficient line|16s/Cz [^ ]*\$/Cz nan/|16
exponent in a step line|18s/ v [^ ]*/ v 1e5/|18
decimal comma in a step line|18s/ v \([0-9]*\)\./ v \1,/|18
step line with a field too many|18s/\$/ 0.5/|18
force line without its last space|11s/ \$//|11
a line missing|5d|5
an unknown line|3i hello|3
two traces one after the other|\$r $dir/trace|3351
summary line without its energy|\$s/ w .*//|3350
EOF
  # CR LF line ends and a byte-order mark: the same table.
  sed '1s/^/\xef\xbb\xbf/; s/$/\r/' "$dir/trace" | "$csv" - - | cmp -s - "$dir/table.csv" ||
    fail "a CR LF trace with a byte-order mark gives another table"

  # Outputs: a FIFO, a device and a link into /proc written through, a link to a regular
  # file kept a link, names beginning with '-'; a directory and the trace itself refused.
  mkfifo "$dir/fifo"
  timeout 10 cat "$dir/fifo" >"$dir/from-fifo" &
  "$csv" "$dir/trace" "$dir/fifo" && wait $! && cmp -s "$dir/from-fifo" "$dir/table.csv" &&
    [ -p "$dir/fifo" ] || fail "FIFO as OUT"
  ln -s /proc/self/fd/1 "$dir/to-stdout"
  "$csv" "$dir/trace" "$dir/to-stdout" >"$dir/stdout.csv" && cmp -s "$dir/stdout.csv" "$dir/table.csv" &&
    [ -L "$dir/to-stdout" ] || fail "link to standard output as OUT"
  ln -s linked.csv "$dir/link"
  "$csv" "$dir/trace" "$dir/link" && cmp -s "$dir/linked.csv" "$dir/table.csv" &&
    [ -L "$dir/link" ] || fail "link to a regular file as OUT"
  mkdir -- -d && cp "$dir/trace" ./-t
  "$csv" -t -d/out.csv && cmp -s -- -d/out.csv "$dir/table.csv" || fail "names beginning with '-'"
  # As root a tool that replaced devices could replace /dev/full: give it a node of its own.
  full=/dev/full
  [ "$(id -u)" -ne 0 ] || { mknod "$dir/full" c 1 7 && full=$dir/full; }
  expect_refused "$csv" "full device" "$dir/trace" "$full" "trace-to-csv: $full: cannot write it"
  [ -c "$full" ] || fail "full device replaced"
  expect_refused "$csv" "directory as OUT" "$dir/trace" -d "trace-to-csv: -d: is a directory"
  expect_refused "$csv" "the trace as OUT" "$dir/trace" "$dir/trace"

  # The study at the program's own step ends where the program ends, on both column sets.
  $EMULATOR "$study" >"$dir/study.csv" || fail "step_study failed"
  [ "$(wc -l <"$dir/study.csv")" -eq 8 ] || fail "step_study: $(wc -l <"$dir/study.csv") lines, not 8"
  summary=$(tail -n 1 "$dir/trace" | awk '{ print $4, $6, $8 }')
  [ "$(awk -F, 'NR == 2 { printf "%d %.6f %.6f %.6f %.6f %.6f %.6f", $5, $2, $3, $4, $7, $8, $9 }' \
    "$dir/study.csv")" = "372 $summary $summary" ] ||
    fail "step_study at h = 0.05 differs from the run: $(sed -n 2p "$dir/study.csv")"
  # Every finer step agrees at 18.6 s to the README's accuracy (4e-6 m/s, 5e-7 m, 2e-4 J),
  # and its stop comes stop_step steps of h after rest, to rounding.
  awk -F, 'function off(a, b, by) { return a - b > by || b - a > by }
    NR == 2 { v = $2; x = $3; w = $4 }
    NR > 2 && (off($2, v, 4e-6) || off($3, x, 5e-7) || off($4, w, 2e-4) || off($6, $5 * $1, 1e-10)) {
      print "FAIL: step_study row " NR - 1 ": " $0; bad = 1 }
    END { exit bad }' "$dir/study.csv" || failures=$((failures + 1))
else
  # The program's own trace, from standard input, as a PNG of at least 1200 x 900.
  $EMULATOR "$transition" | "$plot" - "$dir/run.png" || fail "plotting the run from stdin failed"
  size=$(od -An -tu1 -j16 -N8 "$dir/run.png" | awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
  read -r width height <<<"$size"
  [ "${width:-0}" -ge 1200 ] && [ "${height:-0}" -ge 900 ] || fail "PNG is ${width}x${height}"
  [ "$(stat -c %a "$dir/run.png")" = "$(printf '%o' $((0666 & ~0$(umask))))" ] || fail "PNG mode $(stat -c %a "$dir/run.png")"

  # The title, read from SVG output: why the run stopped, at the end of its last step, and
  # the summary. The format comes from the extension in any case; others are refused.
  "$plot" "$dir/trace" "$dir/run.SVG" || fail "plotting to SVG failed"
  grep -q 'wing lift reached the weight after 372 steps (t = 18.60 s)' "$dir/run.SVG" ||
    fail "SVG title lacks the stop reason and time"
  grep -q 'final alpha 3.542290 deg, v 18.723291 m/s, x 223.371278 m, w 28347.250350 J' "$dir/run.SVG" ||
    fail "SVG title lacks the summary"
  "$plot" "$dir/trace" "$dir/run.Pdf" && [ "$(head -c 4 "$dir/run.Pdf")" = %PDF ] || fail "PDF"
  expect_refused "$plot" "unknown extension" "$dir/trace" "$dir/run.jpg" "usage: "

  # Text from the trace is data, never gnuplot or shell syntax.
  { head -n 18 "$dir/trace"; echo; echo ' alpha `touch${IFS}ran` v 1.0 x 2.0 w 3.0'; } >"$dir/forged"
  "$plot" "$dir/forged" "$dir/forged.svg" 2>/dev/null
  [ ! -e "$dir/ran" ] || fail "text from the trace was run as a command"

  # An interrupted run is still drawn, marked incomplete.
  head -n 1000 "$dir/trace" >"$dir/cut"
  "$plot" "$dir/cut" "$dir/cut.svg" 2>/dev/null || fail "a truncated trace was refused"
  grep -q 'incomplete trace' "$dir/cut.svg" || fail "truncated trace not marked incomplete"

  expect_refused "$plot" "empty file" "$dir/empty" "$dir/refused.png"
  expect_refused "$plot" "junk file" "$dir/junk" "$dir/refused.png"
  expect_refused "$plot" "missing file" "$dir/missing" "$dir/refused.png"
  cp "$dir/run.png" "$dir/keep.png"
  expect_refused "$plot" "junk over an existing picture" "$dir/junk" "$dir/keep.png"

  # A full disk, which gnuplot itself would not notice: exit 1 and the old picture stays.
  mkdir "$dir/small"
  if unshare -rm true 2>/dev/null; then
    unshare -rm sh -c 'mount -t tmpfs -o size=20k tmpfs small && echo old >small/old.png &&
      "$0" "$1" small/old.png 2>err; echo $? >status
      [ "$(ls -A small) $(cat small/old.png)" = "old.png old" ] || echo changed >>status' "$plot" "$dir/trace"
    [ "$(cat "$dir/status")" = 1 ] && grep -q 'No space left' "$dir/err" || fail "full disk: $(cat "$dir/status" "$dir/err")"
  else
    echo "full disk not tried: no user namespaces here"
  fi

  # TERM ends the tool and what it started (here a gnuplot that hangs), OUT as it was.
  mkdir "$dir/hang" && printf '#!/bin/sh\nfor i in 1 2 3 4 5 6 7 8 9; do sleep 1; done\n' >"$dir/hang/gnuplot"
  chmod +x "$dir/hang/gnuplot"
  PATH=$dir/hang:$PATH "$plot" "$dir/trace" "$dir/keep.png" &
  sleep 1
  kill -TERM $!
  wait $! && fail "TERM: exit 0"
  ! grep -qsaF "$dir/hang" /proc/[0-9]*/cmdline || fail "TERM: gnuplot left running"
  cmp -s "$dir/keep.png" "$dir/run.png" && [ -z "$(left_behind)" ] || fail "TERM: OUT changed or files left"

  # Without gnuplot on the PATH: the message names the package to install.
  mkdir "$dir/bin"
  for tool in bash awk cat mktemp dirname mv rm chmod; do ln -s "$(command -v $tool)" "$dir/bin/$tool"; done
  PATH=$dir/bin "$plot" "$dir/trace" "$dir/no.png" 2>"$dir/err" && fail "ran without gnuplot"
  grep -q 'gnuplot-nox' "$dir/err" || fail "missing gnuplot message: $(cat "$dir/err")"
fi

[ "$failures" -eq 0 ] && echo "trace tools ($part): all checks passed"
exit $((failures > 0))
