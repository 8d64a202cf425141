# gnuplot -c plot-transition.gp STEPS png|svg|pdf STEP TITLE >PICTURE
# STEPS is the trace's table: a header row, then per step
# t,a,v,x,w,Q,lift,thrust,drag,alpha,Cx,Cz (s, m/s^2, m/s, m, J, N, N, N, N, deg, -, -).
# t is the start of the step and the values belong to its end, so each is drawn at t + STEP.
steps = ARG1
step = real(ARG3)
set datafile separator comma
set datafile columnheaders
if (ARG2 eq "svg") {
    set terminal svg size 1400,1000 dynamic font "sans,11"
} else {
    if (ARG2 eq "pdf") {
        set terminal pdfcairo size 29.7cm,21cm font "sans,9"
    } else {
        set terminal pngcairo size 1400,1000 font "sans,11"
    }
}
set multiplot layout 4,1 title ARG4 font "sans,13"
set grid
set autoscale xfix
set key top left
set lmargin 12
set rmargin 12
set format x ""

set ylabel "speed v (m/s)"
set y2label "distance x (m)"
set ytics nomirror
set y2tics
plot steps using ($1 + step):3 with lines lw 2 title "speed v", \
     "" using ($1 + step):4 axes x1y2 with lines lw 2 title "distance x"
unset y2label
unset y2tics
set ytics mirror

set ylabel "force (N)"
set key top center horizontal
set offsets 0, 0, graph 0.25, 0
plot steps using ($1 + step):7 with lines lw 2 title "wing lift", \
     "" using ($1 + step):8 with lines lw 2 title "lift-rotor thrust", \
     "" using ($1 + step):6 with lines dt 2 lc rgb "black" title "weight Q"

set ylabel "energy w (kJ)"
set key top left vertical
set offsets 0, 0, 0, 0
plot steps using ($1 + step):($5 / 1000) with lines lw 2 title "lift-rotor energy w"

set format x "%g"
set xlabel "t (s)"
set ylabel "angle of attack (deg)"
plot steps using ($1 + step):10 with lines lw 2 title "angle of attack"
unset multiplot
