# Turns a transition trace into one row per step:
#   t v x w lift thrust alpha Q
# in the trace's units (s, m/s, m, J, N, N, deg, N). t, v, x, w, lift and Q are the step
# line's own; thrust and alpha come from the last force and coefficient lines before it,
# the step's fourth model evaluation, the same one that gave the step line its lift.
# With -v summary=FILE, the summary line's alpha v x w also go to FILE (empty if the trace
# has none). Only lines whose values are all plain decimals count.
function num(s) { return s ~ /^-?[0-9]+\.[0-9]+$/ }
$1 == "alpha" && $3 == "Cx" && num($2) { alpha = $2 }
$1 == "vel" && $3 == "thrust" && num($4) { thrust = $4 }
$1 == "t" && $3 == "a" && $13 == "lift" && NF == 14 && alpha != "" && thrust != "" &&
    num($2) && num($6) && num($8) && num($10) && num($12) && num($14) {
    print $2, $6, $8, $10, $14, thrust, alpha, $12
}
$1 == "alpha" && $3 == "v" && NF == 8 && num($2) && num($4) && num($6) && num($8) {
    last = $2 " " $4 " " $6 " " $8
}
END { if (summary != "") print last > summary }
