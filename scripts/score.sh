#!/usr/bin/env bash
# Scores korvel on a rig with known geometry: runs the matching, stores the control points it
# found in a copy of the project and evaluates that copy with -e.
#   scripts/score.sh <project.pts> [korvel binary]
# Extra environment (NCC, DEBUG, ...) is passed through. Keeps its files in $SCORE_DIR when set.
set -euo pipefail
project=$1
korvel=${2:-$(dirname "$0")/../build/korvel}
work=${SCORE_DIR:-$(mktemp -d)}
mkdir -p "$work"

run=(env)
[ -n "${DISPLAY:-}" ] || run=(xvfb-run -a)
start=$(date +%s.%N)
"${run[@]}" "$korvel" "$project" "$work/log.txt" 2>"$work/stderr.txt"
end=$(date +%s.%N)

# Found points count images from 0; project files count from 1. Coordinates are padded to four
# places ("x 8.4"): the blanks go before awk splits the fields.
grep -v '^c ' "$project" >"$work/scored.pts"
sed -E 's/ ([xyXY]) +/ \1/g' "$work/log.txt" | awk '/^c n[0-9]+ N[0-9]+ / {
       n = substr($2, 2) + 1; N = substr($3, 2) + 1
       printf "c n%d N%d %s %s %s %s t0\n", n, N, $4, $5, $6, $7
     }' >>"$work/scored.pts"

"$korvel" -e "$work/scored.pts" 2>/dev/null >"$work/eval.txt"
grep -E '^[0-9]+-[0-9]+:|^sum:' "$work/eval.txt"
awk '/^cp: / { n++; if ($5 > 5.0) big++ } END { printf "points above 5.0: %d of %d\n", big, n }' \
    "$work/eval.txt"
awk '/^cp: / { print $5 }' "$work/eval.txt" | sort -g |
    awk '{ e[NR] = $1 } END { if (NR) printf "median: %f\n", NR % 2 ? e[(NR + 1) / 2] : (e[NR / 2] + e[NR / 2 + 1]) / 2 }'
grep '^ExposureParams' "$work/log.txt" || true
# With the rig's truth beside the project: exposure_k = -log2(gain_k / gain_0).
truth=$(dirname "$project")/truth.json
if [ -f "$truth" ]; then
    { grep -o '"gain": *[-0-9.eE+]*' "$truth" | sed 's/.*: *//'; grep '^ExposureParams' "$work/log.txt"; } |
        awk '/^ExposureParams/ { for (k = 2; k <= NF; k++) got[k - 2] = $k; m = NF - 1; next }
             { gain[n++] = $1 }
             END { for (k = 0; k < m && k < n; k++) {
                       d = got[k] + log(gain[k] / gain[0]) / log(2); if (d < 0) d = -d
                       if (d > worst) { worst = d; at = k } }
                   printf "exposure max error: %.3f stop (image %d)\n", worst, at }'
fi
awk -v a="$start" -v b="$end" 'BEGIN { printf "wall time: %.2fs\n", b - a }'
echo "files: $work"
