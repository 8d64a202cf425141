#!/bin/sh
# man_pages_test.sh CMAKE BUILD: every program that `cmake --install BUILD` puts in bin has
# its manual page in share/man/man1, which man renders without a word on standard error,
# with NAME ("PROGRAM - ..."), SYNOPSIS, DESCRIPTION, OPTIONS, EXIT STATUS and EXAMPLES
# sections; every option that a program's --help lists is an entry of its page's OPTIONS.
# transition takes no options and ignores its arguments, as its page says.
cmake=$1 build=$2
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
"$cmake" --install "$build" --prefix "$dir/prefix" >/dev/null || exit 1
status=0
fail() {
  echo "$*" >&2
  status=1
}
for program in "$dir"/prefix/bin/*; do
  name=${program##*/}
  page=$dir/prefix/share/man/man1/$name.1
  if [ ! -f "$page" ]; then
    fail "$name: no manual page share/man/man1/$name.1"
    continue
  fi
  MANWIDTH=80 man --nh --nj -l "$page" >"$dir/page" 2>"$dir/err" || fail "$name.1: man failed"
  [ ! -s "$dir/err" ] || fail "$name.1: man said: $(cat "$dir/err")"
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' EXAMPLES; do
    grep -qx "$section" "$dir/page" || fail "$name.1: no $section section"
  done
  grep -q "^       $name - " "$dir/page" || fail "$name.1: its NAME does not begin with '$name - '"
  if [ "$name" = transition ]; then
    "$program" >"$dir/plain" && "$program" --help -x --version >"$dir/given" || fail "transition failed"
    cmp -s "$dir/plain" "$dir/given" || fail "transition: its arguments changed its trace"
    continue
  fi
  "$program" --help >"$dir/help" || fail "$name --help failed"
  # The OPTIONS section's entries, which begin at the indentation of a section's text.
  sed -n '/^OPTIONS$/,/^[A-Z]/p' "$dir/page" | grep -E '^ {7}-' >"$dir/entries"
  # The help's options: the first word of each of its lines that begin, indented, with '-',
  # such as "-h,--help" or "--set KEY=VALUE ...".
  options=$(sed -n 's/^ *\(-[^ ]*\).*/\1/p' "$dir/help" | tr ',' ' ')
  [ -n "$options" ] || fail "$name --help lists no option, not even --help"
  for option in $options; do
    grep -qE -- "^ {7}(-[A-Za-z], ?)?$option([ ,=]|\$)" "$dir/entries" ||
      fail "$name.1: $option, which its --help lists, is not among the page's OPTIONS"
  done
done
[ "$status" = 0 ] && echo "the manual pages of $(ls "$dir/prefix/bin" | tr '\n' ' ')rendered, whole"
exit $status
