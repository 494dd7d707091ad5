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

# Found points count images from 0; project files count from 1.
grep -v '^c ' "$project" >"$work/scored.pts"
awk '/^c n[0-9]+ N[0-9]+ / {
       n = substr($2, 2) + 1; N = substr($3, 2) + 1
       printf "c n%d N%d %s %s %s %s t0\n", n, N, $4, $5, $6, $7
     }' "$work/log.txt" >>"$work/scored.pts"

"$korvel" -e "$work/scored.pts" 2>/dev/null >"$work/eval.txt"
grep -E '^[0-9]+-[0-9]+:|^sum:' "$work/eval.txt"
awk '/^cp: / { n++; if ($5 > 5.0) big++ } END { printf "points above 5.0: %d of %d\n", big, n }' \
    "$work/eval.txt"
grep '^ExposureParams' "$work/log.txt" || true
awk -v a="$start" -v b="$end" 'BEGIN { printf "wall time: %.2fs\n", b - a }'
echo "files: $work"
