# Sourced by the trace tools: reading a transition trace strictly into its table, and
# writing an output whole or not at all. The caller sets `me`, its name for messages, and
# `here`, this folder. What a tool makes goes in $work, removed when it ends together with
# any unfinished output; INT, TERM or HUP end the tool and every program it started.

fail() { echo "$me: $*" >&2; exit 1; }

# ": why", from the last message of a failed program in $work/err, if it gave one.
reason() { sed -n '$s/^.*: /: /p' "$work/err" 2>/dev/null; }

work=$(mktemp -d) || exit 1
partial=
children=
cleanup() {
  [ -z "$children" ] || { kill $children 2>/dev/null; wait; }
  rm -rf "$work"
  [ -z "$partial" ] || rm -f -- "$partial"
}
trap cleanup EXIT
for signal in INT TERM HUP; do
  trap "cleanup; trap - EXIT $signal; kill -s $signal \$\$" "$signal"
done

# run CMD...: CMD as a child that a signal to the tool ends too (the shell would hold the
# signal back until a foreground child ended), on the tool's standard input.
run() {
  "$@" <&0 &
  children=$!
  local status=0
  wait "$children" || status=$?
  children=
  return "$status"
}
# to FILE CMD...: CMD with its standard output opened on FILE by the child itself; on the
# tool's own standard output when FILE is empty.
to() { if [ -n "$1" ]; then "${@:2}" >"$1"; else "${@:2}"; fi; }

# file_id PATH: the device and inode of the file PATH names, or of standard input for '-'.
file_id() {
  if [ "$1" = - ]; then stat -L -c %d:%i /dev/stdin; else stat -L -c %d:%i -- "$1"; fi 2>/dev/null
}

# read_trace TRACE: TRACE (a file, or '-' for standard input) read strictly into its table,
# $work/table.csv, and its summary "alpha v x w", $work/summary, empty when the run was cut
# short (said in one warning line). What is not a transition trace ends the tool.
read_trace() {
  local name=$1 status=0
  if [ "$1" = - ]; then
    name="standard input"
  elif [ ! -r "$1" ] || [ -d "$1" ]; then
    fail "$1: no such readable file"
  fi
  run cat -- "$1" >"$work/trace" 2>"$work/err" || fail "$name: cannot read it$(reason)"
  [ -s "$work/trace" ] || fail "$name: empty, not a transition trace"
  : >"$work/summary"
  trace_name=$name trace_lines=$(wc -l <"$work/trace") trace_summary=$work/summary \
    run env LC_ALL=C awk -f "$here/trace-steps.awk" <"$work/trace" >"$work/table.csv" \
    2>"$work/err" || status=$?
  if [ "$status" -eq 1 ]; then
    cat "$work/err" >&2
    exit 1
  fi
  [ "$status" -eq 0 ] || fail "$name: cannot make its table$(reason)"
  local steps=$(($(wc -l <"$work/table.csv") - 1))
  [ "$steps" -gt 0 ] || fail "$name: no complete step, not a transition trace"
  [ -s "$work/summary" ] ||
    echo "$me: warning: $name has no summary line (the run was cut short);" \
      "its $steps complete steps are kept" >&2
}

# choose_output OUT TRACE: where the output goes, before anything is read. $target is the
# file to write, empty for standard output ('-'). An OUT that exists and is not a regular
# file (a FIFO, a device, a link to one such as /dev/stdout) is written through. Any other
# $target is a new file beside OUT's real path (its links followed), $final, which
# finish_output moves onto that path, so OUT is never seen half-written and a link stays a
# link. A directory, or the very file TRACE, is refused.
choose_output() {
  out=$1 final=
  if [ "$out" = - ]; then
    out="standard output" target=
    return
  fi
  [ -n "$out" ] || fail "an empty name is no output file"
  [ ! -d "$out" ] || fail "$out: is a directory"
  if [ -e "$out" ] && [ ! -f "$out" ]; then
    target=$out
    return
  fi
  final=$out
  if [ -L "$out" ]; then
    final=$(readlink -f -- "$out") || fail "$out: cannot follow its link"
    # A link into /proc names a file this process has open: written through.
    case $final in /proc/*) target=$out final= && return ;; esac
  fi
  if [ -e "$final" ]; then
    local id
    id=$(file_id "$final")
    [ -z "$id" ] || [ "$id" != "$(file_id "$2")" ] || fail "$out: is the trace itself, left as it is"
    [ -w "$final" ] || fail "$out: not writable"
  fi
  partial=$(mktemp -- "$(dirname -- "$final")/.$me.XXXXXX" 2>"$work/err") ||
    fail "$out: cannot write beside it$(reason)"
  target=$partial
}

# put FILE: FILE's bytes to $target, every write checked.
put() { run to "$target" cat -- "$1" 2>"$work/err" || fail "$out: cannot write it$(reason)"; }

# finish_output: the new file, flushed to its disk, takes OUT's place (and the mode of the
# file it replaces).
finish_output() {
  [ -n "$final" ] || return 0
  if [ -e "$final" ]; then
    chmod --reference="$final" -- "$partial"
  else
    chmod "$(printf '%o' $((0666 & ~0$(umask))))" -- "$partial"
  fi
  sync -- "$partial" 2>"$work/err" || fail "$out: cannot write it$(reason)"
  mv -f -T -- "$partial" "$final" 2>"$work/err" || fail "$out: cannot write it$(reason)"
  partial=
}
