#!/usr/bin/env bash
# How cost grows with the sources' size: for each project, korvel's median wall time, CPU time and
# peak memory over RUNS runs after a warm-up (taken round the projects), djpeg's full decode of its
# images (CPU seconds, the median of three), and cpfind --prealigned on the same project (up to
# three runs while they take under a minute together; their median, of two the faster); then one
# table with the ratios:
# korvel's wall against cpfind's, its wall against the first project's, its CPU against djpeg's,
# its peak against cpfind's.
#   scripts/bench-scale.sh small.pts [larger.pts ...]
# KORVEL picks the binary (default build/korvel); RUNS (default 3); PEER=0 skips cpfind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
korvel=${KORVEL:-$root/build/korvel}
runs=${RUNS:-3}
peer=${PEER:-1}
command -v cpfind >/dev/null || peer=0
[ $# -gt 0 ] || { echo "usage: $0 small.pts [larger.pts ...]" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# "wall cpu peakMiB" of a command, from GNU time.
measure() {
    /usr/bin/time -f "%e %U %S %M" -o "$work/t" "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    awk '{ printf "%.2f %.2f %.0f\n", $1, $2 + $3, $4 / 1024 }' "$work/t"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

printf "%-34s %7s %7s %6s %6s %7s %7s %7s %7s %7s %7s\n" project korvel_s cpu_s MiB djpeg_s \
    cpfind_s cpf_MiB wall/cpf wall/1st cpu/djpg MiB/cpf
# korvel's runs go round the projects, so that a machine whose speed drifts over minutes moves
# every project's median alike; the first round is a warm-up (files in the page cache).
for ((k = 0; k <= runs; ++k)); do
    n=0
    for project in "$@"; do
        n=$((n + 1))
        t=$(measure "$korvel" "$project" "$work/log")
        [ "$k" = 0 ] || echo "$t" >>"$work/k$n"
    done
done
first="" n=0
for project in "$@"; do
    dir=$(cd "$(dirname "$project")" && pwd)
    n=$((n + 1))
    wall=$(cut -d' ' -f1 "$work/k$n" | median)
    cpu=$(cut -d' ' -f2 "$work/k$n" | median)
    mib=$(cut -d' ' -f3 "$work/k$n" | median)
    # All of the project's images in one timed command, the median of three: one file at a time,
    # each 12 MP decode (about 0.05 s) lost what GNU time cuts off below 0.01 s.
    files=()
    for f in $(awk '/^#-imgfile / { f = $4; gsub(/"/, "", f); print f }' "$project"); do
        files+=("$dir/$f")
    done
    djpeg=$(for r in 1 2 3; do
        measure bash -c 'for f; do djpeg "$f" >/dev/null || exit 1; done' _ "${files[@]}" |
            cut -d' ' -f2
    done | median)
    cw=0 cm=0
    if [ "$peer" = 1 ]; then
        awk -v dir="$dir" -f "$root/scripts/pts-to-pto.awk" "$project" >"$work/p.pto"
        # A single run of a short project is the noisier half of its ratio: up to three while
        # they take under a minute together, and their medians.
        : >"$work/c"
        total=0
        for ((r = 0; r < 3 && total < 60; ++r)); do
            measure cpfind --prealigned -o "$work/c.pto" "$work/p.pto" >>"$work/c"
            total=$(awk '{ s += $1 } END { printf "%d", s }' "$work/c")
        done
        cw=$(cut -d' ' -f1 "$work/c" | median)
        cm=$(cut -d' ' -f3 "$work/c" | median)
    fi
    [ -n "$first" ] || first=$wall
    awk -v p="$(basename "$dir")" -v w="$wall" -v c="$cpu" -v m="$mib" -v d="$djpeg" -v cw="$cw" \
        -v cm="$cm" -v f="$first" 'function r(a, b) { return b > 0 ? sprintf("%.3f", a / b) : "-" }
        BEGIN { printf "%-34s %7.2f %7.2f %6d %6.2f %7.2f %7d %7s %7s %7s %7s\n", p, w, c, m, d, cw,
                       cm, r(w, cw), r(w, f), r(c, d), r(m, cm) }'
done
