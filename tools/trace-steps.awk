# Reads a transition trace strictly and writes its table, CSV with a header row and one
# row per step:
#   t,a,v,x,w,Q,lift,thrust,drag,alpha,Cx,Cz
# t, a, v, x, w, Q and lift are the step line's own; thrust, drag, alpha, Cx and Cz those
# of the step's fourth model evaluation (its last force and coefficient lines), the one
# that gave the step line its lift. Values are the trace's text, copied; units are the
# trace's (README: "Reading the trace").
# A trace is, per step, four pairs of coefficient line and force line and then the step
# line; after the last step an empty line and the summary line, and nothing more. Lines
# may end in CR LF, and the first may begin with a UTF-8 byte-order mark. Any other line
# ends the reading with "NAME:LINE: expected ..." on standard error and exit status 1.
# From the environment: trace_name, the input's name for messages; trace_lines, the number
# of its whole lines (a last line without its line feed is a run cut in mid-write, and is
# not read); trace_summary, a file for the summary line's "alpha v x w", left empty when
# the run was cut short.

# The regular expression of a line form: every second word of the form stands for a value,
# a plain decimal as "%f" prints it.
function pattern(form,   n, words, i, k, re) {
    n = split(form, words, / /)
    for (i = 1; i <= n; i++) {
        if (words[i] != "" && ++k % 2 == 0)
            words[i] = "-?[0-9]+\\.[0-9]+"
        re = re (i > 1 ? " " : "") words[i]
    }
    return "^" re "$"
}

function refuse(what) {
    printf "%s:%d: expected %s\n", ENVIRON["trace_name"], NR, what > "/dev/stderr"
    refused = 1
    exit 1
}

BEGIN {
    OFS = ","
    coefficients = "a coefficient line \"alpha A Cx C Cz C\""
    forces = "a force line \"vel V thrust T drag D lift L \""
    step = "a step line \"t T a A v V x X w W Q Q lift L\""
    summary = "the summary line \" alpha A v V x X w W\""
    coefficients_re = pattern("alpha A Cx C Cz C")
    forces_re = pattern("vel V thrust T drag D lift L ")
    step_re = pattern("t T a A v V x X w W Q Q lift L")
    summary_re = pattern(" alpha A v V x X w W")
    print "t", "a", "v", "x", "w", "Q", "lift", "thrust", "drag", "alpha", "Cx", "Cz"
}

# The unfinished last line of a run cut short; after the summary, the run was not cut.
NR > ENVIRON["trace_lines"] + 0 {
    if (ended) refuse("nothing after the summary line")
    exit
}

{ sub(/\r$/, "") }
NR == 1 { sub(/^\357\273\277/, "") }

ended { refuse("nothing after the summary line") }

# The empty line after the last step is followed by the summary.
closing {
    if ($0 !~ summary_re) refuse(summary)
    last = $2 " " $4 " " $6 " " $8
    ended = 1
    next
}

# place: the lines of the current step read so far, 0 to 8.
place == 0 && steps > 0 && $0 == "" { closing = 1; next }

place % 2 == 0 && place < 8 {
    if ($0 !~ coefficients_re)
        refuse(coefficients (place == 0 && steps > 0 ? " or the empty line before the summary" : ""))
    alpha = $2; Cx = $4; Cz = $6
    place++
    next
}

place % 2 == 1 {
    if ($0 !~ forces_re) refuse(forces)
    thrust = $4; drag = $6
    place++
    next
}

{
    if ($0 !~ step_re) refuse(step)
    print $2, $4, $6, $8, $10, $12, $14, thrust, drag, alpha, Cx, Cz
    steps++
    place = 0
}

END {
    if (refused) exit 1
    if (last != "") print last > ENVIRON["trace_summary"]
}
