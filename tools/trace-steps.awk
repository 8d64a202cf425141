# Turns a transition trace into a table, CSV with a header row and one row per step:
#   t,a,v,x,w,Q,lift,thrust,drag,alpha,Cx,Cz
# t, a, v, x, w, Q and lift are the step line's own; thrust, drag, alpha, Cx and Cz come
# from the last force and coefficient lines before it, the step's fourth model evaluation,
# the same one that gave the step line its lift. Units are the trace's (README: "Reading
# the trace"). Values are the trace's text, copied, and only lines whose labels are in
# place and whose values are all plain decimals count; a step line without evaluation
# lines of its own since the previous step gives no row.
# With -v summary=FILE, the summary line's "alpha v x w" goes to FILE.
function num(s) { return s ~ /^-?[0-9]+\.[0-9]+$/ }
BEGIN { OFS = ","; print "t", "a", "v", "x", "w", "Q", "lift", "thrust", "drag", "alpha", "Cx", "Cz" }
NF == 6 && $1 == "alpha" && $3 == "Cx" && $5 == "Cz" && num($2) && num($4) && num($6) {
    alpha = $2; Cx = $4; Cz = $6
}
NF == 8 && $1 == "vel" && $3 == "thrust" && $5 == "drag" && $7 == "lift" &&
    num($2) && num($4) && num($6) && num($8) {
    thrust = $4; drag = $6
}
NF == 14 && $1 == "t" && $3 == "a" && $5 == "v" && $7 == "x" && $9 == "w" && $11 == "Q" &&
    $13 == "lift" && num($2) && num($4) && num($6) && num($8) && num($10) && num($12) &&
    num($14) {
    if (alpha != "" && thrust != "")
        print $2, $4, $6, $8, $10, $12, $14, thrust, drag, alpha, Cx, Cz
    alpha = thrust = ""
}
NF == 8 && $1 == "alpha" && $3 == "v" && $5 == "x" && $7 == "w" &&
    num($2) && num($4) && num($6) && num($8) {
    last = $2 " " $4 " " $6 " " $8
}
END { if (summary != "" && last != "") print last > summary }
