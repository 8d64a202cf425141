# Four schedules of the angle of attack and their runs, from each run's table
# (transition-csv of its --trace), as in docs/optimisation.md:
#   gnuplot -d -e "built='built-in-run.csv'; cubic='best-cubic-run.csv'; table='best-table-run.csv'; pitch='best-pitch-run.csv'" docs/table-schedules.gp > table-schedules.png
# The schedule is drawn as the run flew it, angle against speed, each step at its end
# (t + 0.05 s, the moment its values belong to); the runs end at their stopping step.
set terminal pngcairo size 1400,1000 background rgb "white" font "sans,11"
set datafile separator comma
set datafile columnheaders
set multiplot layout 2,2 title "Least lift-rotor energy: the built-in cubic, the best cubic, 26 knots, and 26 knots with the pitch rate at most 0.2 rad/s" font "sans,13"
set grid
set key top left
step = 0.05
set xlabel "speed v (m/s)"
set ylabel "angle of attack (deg)"
set yrange [-4:14]
plot built using 3:10 with lines lw 2 title "built-in cubic", cubic using 3:10 with lines lw 2 title "best cubic", \
     table using 3:10 with lines lw 2 title "26 knots", pitch using 3:10 with lines lw 2 title "26 knots, pitch <= 0.2 rad/s"
set xlabel "t (s)"
set ylabel "angle of attack (deg)"
plot built using ($1 + step):10 with lines lw 2 title "built-in cubic", cubic using ($1 + step):10 with lines lw 2 title "best cubic", \
     table using ($1 + step):10 with lines lw 2 title "26 knots", pitch using ($1 + step):10 with lines lw 2 title "26 knots, pitch <= 0.2 rad/s"
set ylabel "speed v (m/s)"
set yrange [*:*]
plot built using ($1 + step):3 with lines lw 2 title "built-in cubic", cubic using ($1 + step):3 with lines lw 2 title "best cubic", \
     table using ($1 + step):3 with lines lw 2 title "26 knots", pitch using ($1 + step):3 with lines lw 2 title "26 knots, pitch <= 0.2 rad/s"
set ylabel "lift-rotor energy w (kJ)"
plot built using ($1 + step):($5 / 1000) with lines lw 2 title "built-in cubic", cubic using ($1 + step):($5 / 1000) with lines lw 2 title "best cubic", \
     table using ($1 + step):($5 / 1000) with lines lw 2 title "26 knots", pitch using ($1 + step):($5 / 1000) with lines lw 2 title "26 knots, pitch <= 0.2 rad/s"
unset multiplot
