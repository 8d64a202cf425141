#!/usr/bin/env bash
# Tests of tools/plot-transition: plot_transition_test.sh TRANSITION_BINARY TOOLS_DIR.
# Exits 77 (skipped) with the reason where gnuplot is not installed.
set -uo pipefail
transition=$(realpath "$1") tools=$(realpath "$2")
plot=$tools/plot-transition
if ! command -v gnuplot >/dev/null; then
  echo "skipped: gnuplot not installed (apt-get install gnuplot-nox)"
  exit 77
fi

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# expect_refused NAME INPUT: exit non-zero, one line on stderr, no picture left anywhere.
expect_refused() {
  local out=$dir/refused.png
  if "$plot" "$2" "$out" 2>"$dir/err"; then fail "$1: accepted"; fi
  [ "$(wc -l <"$dir/err")" -eq 1 ] || fail "$1: stderr is not one line: $(cat "$dir/err")"
  [ ! -e "$out" ] || fail "$1: left $out behind"
  ! ls -A "$dir" | grep -q '^\.plot' || fail "$1: left a temporary file behind"
}

"$transition" >"$dir/trace"

# The extracted steps: one row per step line, thrust and alpha of the fourth evaluation.
awk -f "$tools/trace-steps.awk" "$dir/trace" >"$dir/steps"
[ "$(wc -l <"$dir/steps")" -eq 372 ] || fail "extracted $(wc -l <"$dir/steps") rows, not 372"
[ "$(tail -n 1 "$dir/steps")" = "18.550000 18.723291 223.371278 28347.250350 246.108361 0.000000 3.542290 245.250000" ] ||
  fail "last row: $(tail -n 1 "$dir/steps")"
fourth=$(awk 'NR == 7 { alpha = $2 } NR == 8 { thrust = $4 } END { print thrust, alpha }' "$dir/trace")
[ "$(head -n 1 "$dir/steps" | cut -d' ' -f6,7)" = "$fourth" ] ||
  fail "first row does not take thrust and alpha from the step's fourth evaluation"

# The program's own trace, from standard input, as a PNG of at least 1200 x 900.
"$transition" | "$plot" - "$dir/run.png" || fail "plotting the run from stdin failed"
size=$(od -An -tu1 -j16 -N8 "$dir/run.png" | awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
read -r width height <<<"$size"
[ "${width:-0}" -ge 1200 ] && [ "${height:-0}" -ge 900 ] || fail "PNG is ${width}x${height}"
[ "$(stat -c %a "$dir/run.png")" = "$(printf '%o' $((0666 & ~0$(umask))))" ] || fail "PNG mode $(stat -c %a "$dir/run.png")"

# The title, read from SVG output: why the run stopped and the summary.
"$plot" "$dir/trace" "$dir/run.svg" || fail "plotting to SVG failed"
grep -q 'wing lift reached the weight after 372 steps' "$dir/run.svg" || fail "SVG title lacks the stop reason"
grep -q 'final alpha 3.542290 deg, v 18.723291 m/s, x 223.371278 m, w 28347.250350 J' "$dir/run.svg" ||
  fail "SVG title lacks the summary"

# Text from the trace is data, never gnuplot or shell syntax.
{ head -n 18 "$dir/trace"; echo; echo ' alpha `touch${IFS}ran` v 1.0 x 2.0 w 3.0'; } >"$dir/forged"
"$plot" "$dir/forged" "$dir/forged.svg" 2>/dev/null
[ ! -e "$dir/ran" ] || fail "text from the trace was run as a command"

# An interrupted run is still drawn, marked incomplete.
head -n 1000 "$dir/trace" >"$dir/cut"
"$plot" "$dir/cut" "$dir/cut.svg" || fail "a truncated trace was refused"
grep -q 'incomplete trace' "$dir/cut.svg" || fail "truncated trace not marked incomplete"

: >"$dir/empty"
printf 'hello\nworld\n' >"$dir/junk"
expect_refused "empty file" "$dir/empty"
expect_refused "junk file" "$dir/junk"
expect_refused "missing file" "$dir/missing"

# A failed run leaves an existing picture as it was.
cp "$dir/run.png" "$dir/keep.png"
"$plot" "$dir/junk" "$dir/keep.png" 2>/dev/null && fail "junk accepted over an existing picture"
cmp -s "$dir/run.png" "$dir/keep.png" || fail "a failed run changed an existing picture"

# Without gnuplot on the PATH: the message names the package to install.
mkdir "$dir/bin"
for tool in bash awk cat mktemp dirname mv rm chmod; do ln -s "$(command -v $tool)" "$dir/bin/$tool"; done
PATH=$dir/bin "$plot" "$dir/trace" "$dir/no.png" 2>"$dir/err" && fail "ran without gnuplot"
grep -q 'gnuplot-nox' "$dir/err" || fail "missing gnuplot message: $(cat "$dir/err")"

[ "$failures" -eq 0 ] && echo "plot-transition: all checks passed"
exit $((failures > 0))
