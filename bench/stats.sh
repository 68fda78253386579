# Helpers the benchmark scripts share; source it. `spread_format` sets how spread prints its three figures.
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
# min, median and max of the numbers given.
spread() { printf '%s\n' "$@" | sort -g | awk -v format="${spread_format:-%6.2f %6.2f %6.2f\n}" '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf format, v[1], m, v[NR] }'; }
median() { spread "$@" | awk '{ print $2 }'; }
