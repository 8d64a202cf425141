# Sourced by the trace tools: reading a transition trace into its table, and writing an
# output file whole. The caller sets `me`, its name for messages, and `here`, this folder.
# Everything it makes goes in $work, removed on exit with any unfinished output.

fail() { echo "$me: $*" >&2; exit 1; }

work=$(mktemp -d)
partial=
trap 'rm -rf "$work"; [ -z "$partial" ] || rm -f "$partial"' EXIT

# read_trace TRACE: TRACE (a file, or '-' for standard input) as a table of its complete
# steps in $work/table.csv, and its summary "alpha v x w" in $work/summary, empty when the
# run was cut short (said in one warning line). What is not a trace ends the tool.
read_trace() {
  local trace=$1 name=$1
  if [ "$trace" = - ]; then
    name="standard input"
  elif [ ! -r "$trace" ] || [ -d "$trace" ]; then
    fail "$trace: no such readable file"
  fi
  cat -- "$trace" >"$work/trace"
  [ -s "$work/trace" ] || fail "$name: empty, not a transition trace"
  # A run stopped in mid-write leaves its last line unfinished: only whole lines count.
  [ -z "$(tail -c 1 "$work/trace")" ] || sed -i '$d' "$work/trace"
  : >"$work/summary"
  awk -v summary="$work/summary" -f "$here/trace-steps.awk" "$work/trace" >"$work/table.csv"
  local steps=$(($(wc -l <"$work/table.csv") - 1))
  [ "$steps" -gt 0 ] || fail "$name: no step lines, not a transition trace"
  [ -s "$work/summary" ] ||
    echo "$me: warning: $name has no summary line (the run was cut short);" \
      "its $steps complete steps are kept" >&2
}

# start_output OUT: names in $partial a new file beside OUT, to be written in full and then
# moved onto OUT by finish_output, so that OUT is never seen half-written.
start_output() {
  partial=$(mktemp "$(dirname -- "$1")/.$me.XXXXXX") || fail "$1: cannot write beside it"
}
finish_output() {
  chmod "$(printf '%o' $((0666 & ~0$(umask))))" "$partial"
  mv -f -- "$partial" "$1" || fail "$1: cannot write it"
  partial=
}
