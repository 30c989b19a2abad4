#!/usr/bin/env bash
# Draws one scaling run of bench/sizing.py as an SVG: on the left the
# sustained rate for 1, 2 and 3 hosts (the median of the rounds run at
# each one's knee, the most connections that kept p99 within the bound)
# beside n times one host's; on the right p99 against the rate at every
# connection count the search tried, a line per number of hosts.
#
#   bench/sizing-chart.sh [CSV [SVG]]
#
# CSV defaults to the newest bench/results/sizing-scaling-*.csv, SVG to
# bench/results/sizing-scaling.svg. docs/sizing.md shows
# docs/pictures/sizing-scaling.svg, drawn from the run it quotes, whose CSV
# is kept beside it: redraw it with
#   bench/sizing-chart.sh docs/pictures/sizing-scaling.csv docs/pictures/sizing-scaling.svg
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
csv=${1:-}
if [[ -z $csv ]]; then
  # The names end in UTC timestamps, so the last in order is the newest.
  csv=$(find "$root/bench/results" -maxdepth 1 -name 'sizing-scaling-*.csv' 2>/dev/null | sort | tail -n 1)
fi
[[ -n $csv && -f $csv ]] || { echo "sizing-chart.sh: no scaling results" >&2; exit 1; }
svg=${2:-$root/bench/results/sizing-scaling.svg}

work=$(mktemp -d /tmp/gmi-chart-XXXXXX)
trap 'rm -rf "$work"' EXIT

# The run's first comment line names its date, machine, share and bound:
# "bench/sizing.py scaling, 20261210T040325Z, 2 CPUs (AMD EPYC), ..."
heading=$(sed -n '1s/^# \([^,]*\), \(....\)\(..\)\(..\)T\(..\)\(..\)[^,]*, \([^,]*\),.*/\1, \2-\3-\4 \5:\6 UTC, \7/p' "$csv")
bound=$(sed -n '1s/.*p99 bound \([0-9.]*\) ms.*/\1/p' "$csv")
share=$(sed -n '1s/.*host share \([0-9.]*\) core.*/\1/p' "$csv")
[[ -n $bound && -n $share ]] || { echo "sizing-chart.sh: $csv names no bound or share" >&2; exit 1; }

# Columns by the header's names, never by position. The search's steps,
# by connection count, one block per number of hosts; the rounds' median.
awk -F, -v dir="$work" '
  /^#/ { next }
  !header { for (i = 1; i <= NF; i++) column[$i] = i; header = 1; next }
  {
    hosts = $column["hosts"]; rate = $column["requests_per_s"]
    if (hosts > most) most = hosts
    if ($column["phase"] == "search") {
      n = ++steps[hosts]
      connections[hosts, n] = $column["connections"] + 0
      point[hosts, n] = rate " " $column["p99_ms"]
    } else {
      rates[hosts, ++rounds[hosts]] = rate
    }
  }
  function median(h,    i, j, t, v) {
    for (i = 1; i <= rounds[h]; i++) v[i] = rates[h, i] + 0
    for (i = 2; i <= rounds[h]; i++)
      for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return rounds[h] ? v[int((rounds[h] + 1) / 2)] : "?"
  }
  END {
    for (h = 1; h <= most; h++) {
      # Steps in order of connections: the halving steps came last.
      for (i = 1; i <= steps[h]; i++) order[i] = i
      for (i = 2; i <= steps[h]; i++)
        for (j = i; j > 1 && connections[h, order[j - 1]] > connections[h, order[j]]; j--) {
          t = order[j]; order[j] = order[j - 1]; order[j - 1] = t
        }
      for (i = 1; i <= steps[h]; i++) print point[h, order[i]] > (dir "/steps.dat")
      printf "\n\n" > (dir "/steps.dat")
    }
    one = median(1)
    for (h = 1; h <= most; h++)
      printf "%d %s %s\n", h, median(h), (one == "?" ? "?" : h * one) > (dir "/best.dat")
    top = 0
    for (h = 1; h <= most; h++) {
      m = median(h); if (m != "?" && m > top) top = m
      if (one != "?" && h * one > top) top = h * one
    }
    # Room above the highest bar for its label.
    print top * 1.15 > (dir "/top")
  }' "$csv"

mkdir -p "$(dirname "$svg")"
gnuplot <<PLOT
set terminal svg size 1000,480 font "Helvetica,12" background "white"
set output "$svg"
set datafile missing "?"
set grid lc rgb "#dddddd"
set key top left
set multiplot layout 1,2 title "$heading"

set title "sustained rate at p99 <= $bound ms, each host $share of a core\n(median of the rounds at each knee)"
set xlabel "hosts behind the edges"
set ylabel "requests/s"
set xrange [0.5:3.5]
set xtics 1
set yrange [0:$(cat "$work/top")]
set boxwidth 0.5
set style fill solid 0.85 border rgb "#555555"
plot "$work/best.dat" using 1:2 with boxes lc rgb "#4477aa" title "measured", \
     "" using 1:2:(sprintf("%.0f", \$2)) with labels offset 0,0.8 notitle, \
     "" using 1:3 with linespoints lw 2 dt 2 lc rgb "#cc6677" title "n x one host"

set title "p99 against rate, a point per connection count tried"
set xlabel "requests/s"
set ylabel "p99 ms (log scale)"
set xrange [0:*]
set xtics autofreq
set logscale y
set yrange [*:*]
plot for [i=0:2] "$work/steps.dat" index i using 1:2 with linespoints lw 2 pt 7 \
       title sprintf("%d host%s", i + 1, i ? "s" : ""), \
     $bound with lines dt 2 lc rgb "#999999" title "$bound ms"
unset multiplot
PLOT
echo "chart: $svg"
