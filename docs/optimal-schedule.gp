# The built-in schedule's run against the least-energy schedule's, from the two runs' tables
# (transition-csv of each --trace), as in docs/optimisation.md:
#   gnuplot -d -e "built='built-in-run.csv'; best='least-energy-run.csv'" docs/optimal-schedule.gp > optimal-schedule.png
# Each step is drawn at its end, t + 0.05 s, the moment its values belong to.
set terminal pngcairo size 1400,1000 background rgb "white" font "sans,11"
set datafile separator comma
set datafile columnheaders
set multiplot layout 2,2 title "Built-in schedule and least-energy schedule (peak angle at most 12 deg, distance at most 250 m)" font "sans,13"
set grid
set key top left
set xlabel "t (s)"
step = 0.05
set ylabel "angle of attack (deg)"
plot built using ($1 + step):10 with lines lw 2 title "built-in", best using ($1 + step):10 with lines lw 2 title "least energy"
set ylabel "speed v (m/s)"
plot built using ($1 + step):3 with lines lw 2 title "built-in", best using ($1 + step):3 with lines lw 2 title "least energy"
set ylabel "lift-rotor thrust (N)"
set key top right
plot built using ($1 + step):8 with lines lw 2 title "built-in", best using ($1 + step):8 with lines lw 2 title "least energy"
set ylabel "lift-rotor energy w (kJ)"
set key top left
plot built using ($1 + step):($5 / 1000) with lines lw 2 title "built-in", best using ($1 + step):($5 / 1000) with lines lw 2 title "least energy"
unset multiplot
