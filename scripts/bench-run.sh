#!/usr/bin/env bash
# Whole-run benchmark: runs korvel on rig projects and prints, per project, the time of every
# stage (the timer lines on standard error, summed per label), the wall time, CPU time and peak
# memory. When Hugin's cpfind is installed, it then runs `cpfind --prealigned` on the same
# project converted to .pto and prints the ratios of the two wall times and CPU times.
#   scripts/bench-run.sh [project.pts ...] (default: the ring13, fisheye6 and ring13-hdr rigs)
# KORVEL picks the binary (default build/korvel); PEER=0 skips cpfind; BENCH_DIR keeps the files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
korvel=${KORVEL:-$root/build/korvel}
work=${BENCH_DIR:-$(mktemp -d)}
mkdir -p "$work"
if [ $# -eq 0 ]; then
    set -- "$root"/../shared/rigs/{ring13,fisheye6,ring13-hdr}/rig.pts
fi
peer=${PEER:-1}
command -v cpfind >/dev/null || peer=0

display=()
[ -n "${DISPLAY:-}" ] || display=(xvfb-run -a)

# Wall seconds, CPU seconds (user + system) and peak resident MiB of a /usr/bin/time -v report.
wallOf() {
    awk -F': ' '/Elapsed \(wall clock\)/ {
        n = split($2, p, ":"); s = 0
        for (k = 1; k <= n; ++k) s = s * 60 + p[k]
        printf "%.2f", s }' "$1"
}
cpuOf() {
    awk -F': ' '/User time|System time/ { s += $2 } END { printf "%.2f", s }' "$1"
}
peakOf() {
    awk -F': ' '/Maximum resident set size/ { printf "%.0f", $2 / 1024 }' "$1"
}

# The project as a Hugin .pto: one `i` line per image with the same lens and pose values.
toPto() {
    awk -v dir="$(cd "$(dirname "$1")" && pwd)" -f "$root/scripts/pts-to-pto.awk" "$1"
}

for project in "$@"; do
    name=$(basename "$(dirname "$project")")
    out="$work/$name"
    mkdir -p "$out"
    echo "== $name ($project)"
    # The display server starts outside the measured command.
    "${display[@]}" /usr/bin/time -v -o "$out/korvel.time" "$korvel" "$project" "$out/log.txt" \
        2>"$out/stderr.txt" || {
        echo "korvel failed:"
        tail -5 "$out/stderr.txt"
        exit 1
    }
    # Timer lines end in "<label>: <seconds>s".
    awk '/: [0-9.]+s$/ {
            label = $0; sub(/: [0-9.]+s$/, "", label); sub(/^ +/, "", label)
            sub(/^\[T\] +/, "[T] ", label)
            v = $NF; sub(/s$/, "", v)
            if (!(label in sum)) order[++n] = label
            sum[label] += v; calls[label]++; total += v
         }
         END {
            printf "| %-24s | %5s | %8s |\n", "stage", "calls", "seconds"
            printf "|%s|%s|%s|\n", "--------------------------", "-------", "----------"
            for (k = 1; k <= n; ++k)
                printf "| %-24s | %5d | %8.2f |\n", order[k], calls[order[k]], sum[order[k]]
            printf "| %-24s | %5s | %8.2f |\n", "sum of stages", "", total
         }' "$out/stderr.txt"
    kw=$(wallOf "$out/korvel.time")
    echo "korvel: wall ${kw}s, cpu $(cpuOf "$out/korvel.time")s, peak memory $(peakOf "$out/korvel.time") MiB"
    if [ "$peer" = 1 ]; then
        toPto "$project" >"$out/project.pto"
        /usr/bin/time -v -o "$out/cpfind.time" cpfind --prealigned -o "$out/cpfind.pto" "$out/project.pto" \
            >"$out/cpfind.txt" 2>&1 || {
            echo "cpfind failed:"
            tail -5 "$out/cpfind.txt"
            exit 1
        }
        cw=$(wallOf "$out/cpfind.time")
        echo "cpfind --prealigned: wall ${cw}s, cpu $(cpuOf "$out/cpfind.time")s, peak memory $(peakOf "$out/cpfind.time") MiB," \
            "$(grep -c '^c ' "$out/cpfind.pto" || true) control points"
        awk -v k="$kw" -v c="$cw" -v kc="$(cpuOf "$out/korvel.time")" \
            -v cc="$(cpuOf "$out/cpfind.time")" \
            'BEGIN { printf "korvel / cpfind: wall %.3f, cpu %.3f\n", k / c, kc / cc }'
    fi
done
echo "files: $work"
