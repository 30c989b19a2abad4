#!/usr/bin/env bash
# Draws one run of bench/run.sh: requests/s and p99 latency of each target
# at each connection count, side by side, as an SVG.
#
#   bench/chart.sh [CSV [SVG]]
#
# CSV defaults to the newest bench/results/*.csv, SVG to
# bench/results/latest.svg. The chart the documentation shows is
# docs/pictures/bench.svg: after a full `make bench`, run
#   bench/chart.sh "" docs/pictures/bench.svg
# and commit it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
csv=${1:-}
if [[ -z $csv ]]; then
  # The names are UTC timestamps, so the last in order is the newest.
  csv=$(find "$root/bench/results" -maxdepth 1 -name '*.csv' 2>/dev/null | sort | tail -n 1)
fi
[[ -n $csv && -f $csv ]] || { echo "chart.sh: no results in bench/results/" >&2; exit 1; }
svg=${2:-$root/bench/results/latest.svg}

work=$(mktemp -d /tmp/gmi-chart-XXXXXX)
trap 'rm -rf "$work"' EXIT

# One table per measure, as gnuplot's clustered histograms read them: a row
# per connection count, a column per target ("service valid", "nginx"), in
# the order the run printed them. The memory line is no target.
tables() {  # $1: the CSV column to tabulate, $2: the output file
  awk -F, -v column="$1" '
    NR > 1 && $1 != "memory" {
      series = ($2 == "-" ? $1 : $1 " " $2)
      if (!(series in known)) { known[series] = 1; names[++n] = series }
      if (!($3 in row)) { row[$3] = 1; counts[++m] = $3 }
      value[$3, series] = $column
    }
    END {
      printf "connections"
      for (s = 1; s <= n; s++) printf "\t\"%s\"", names[s]
      printf "\n"
      for (c = 1; c <= m; c++) {
        printf "%s", counts[c]
        for (s = 1; s <= n; s++) {
          v = value[counts[c], names[s]]
          printf "\t%s", (v == "" ? "?" : v)
        }
        printf "\n"
      }
    }' "$csv" >"$2"
}
tables 4 "$work/rps.tsv"
tables 6 "$work/p99.tsv"
columns=$(head -n 1 "$work/rps.tsv" | awk -F'\t' '{ print NF }')
rows=$(($(wc -l <"$work/rps.tsv") - 1))
# 20261209T101500Z -> 2026-12-09 10:15 UTC
when=$(basename "$csv" .csv | sed -E 's/^(....)(..)(..)T(..)(..).*/\1-\2-\3 \4:\5 UTC/')

mkdir -p "$(dirname "$svg")"
gnuplot <<PLOT
set terminal svg size 1000,520 font "Helvetica,12" background "white"
set output "$svg"
set datafile separator "\t"
set datafile missing "?"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border rgb "#555555"
set grid ytics lc rgb "#dddddd"
set xlabel "connections"
# Both panels keep the same frame, with the one legend below them.
set bmargin at screen 0.30
set tmargin at screen 0.86
set key at screen 0.5, 0.13 center horizontal samplen 1.5 width 1 noautotitle
# One cluster per connection count, at 0, 1, 2...
set xrange [-0.6:$rows - 0.4]

set multiplot layout 1,2 title "bench/run.sh, $when: wrk on loopback, each target's median round"
set title "throughput (higher is better)"
set ylabel "requests/s"
set yrange [0:*]
plot for [i=2:$columns] "$work/rps.tsv" using i:xtic(1) title columnheader(i)

# Tails span milliseconds to seconds: a log scale shows both.
set title "p99 latency (lower is better)"
set ylabel "p99 ms (log scale)"
set logscale y
set yrange [0.1:*]
unset key
plot for [i=2:$columns] "$work/p99.tsv" using i:xtic(1) title columnheader(i)
unset multiplot
PLOT
echo "chart: $svg"
