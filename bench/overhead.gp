# The plot of results/bench.md: per work, each Java route's median time
# above the C floor, on a log scale (a route at or below the floor has no
# bar).  bench.sh passes datafile and output.
set terminal pngcairo size 1100,560 font "sans,11" background rgb "white"
set output output
set datafile separator "\t"
set title "Time above the C floor per operation (median, ns; log scale)"
set style data histograms
set style histogram clustered gap 1.5
set style fill solid 0.85 border -1
set boxwidth 0.9
set logscale y
set yrange [10:*]
set ylabel "ns per operation above C"
set grid ytics
set key top left
set xtics nomirror rotate by -20
plot for [i=2:*] datafile using i:xtic(1) title columnheader(i)
