#!/usr/bin/env bash
# Throughput benchmark of many rig shots: korvel-batch over N copies of one rig project, then
# Hugin's cpfind --prealigned over the same shots with as many parallel jobs, and for each the
# shots per minute and the peak memory of a job (median and largest).
#   scripts/bench-batch.sh [--shots N] [--jobs J] [project.pts]   (default: 20 shots of
#   shared/rigs/ring13, J = the cores, as korvel-batch's default)
# KORVEL picks the binary (default build/korvel, korvel-batch beside it); PEER=0 skips cpfind;
# BENCH_DIR keeps the files. Benchmark on an otherwise idle machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
korvel=$(readlink -f "${KORVEL:-$root/build/korvel}")
batch=$(dirname "$korvel")/korvel-batch
[ -x "$batch" ] || batch=$root/scripts/korvel-batch
shots=20 jobs=$(nproc) project=
while [ $# -gt 0 ]; do
    case $1 in
    --shots) shots=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    *) project=$1 ;;
    esac
    shift
done
project=$(readlink -f "${project:-$root/../shared/rigs/ring13/rig.pts}")
work=${BENCH_DIR:-$(mktemp -d)}
mkdir -p "$work/korvel" "$work/cpfind"
peer=${PEER:-1}
command -v cpfind >/dev/null || peer=0
display=()
[ -n "${DISPLAY:-}" ] || display=(xvfb-run -a)

# Each shot a folder of its own: the project and links to its images.
rig=$(dirname "$project")
for k in $(seq -w 1 "$shots"); do
    for tool in korvel cpfind; do
        shot=$work/$tool/shot$k
        mkdir -p "$shot"
        for f in "$rig"/*; do [ "$f" = "$project" ] || ln -sf "$f" "$shot/"; done
        cp "$project" "$shot/rig.pts"
    done
done

# Peak memory of every korvel run: a stand-in that runs it under /usr/bin/time.
cat >"$work/timed-korvel" <<EOF
#!/bin/sh
# korvel -p COPY PROJECT LOG: the peak goes beside the project.
exec /usr/bin/time -f %M -o "\$3.mem" "$korvel" "\$@"
EOF
chmod +x "$work/timed-korvel"

# Median and largest of the KiB figures in the given files, as "median / max MiB".
peaks() {
    cat "$@" | sort -n | awk '{ v[NR] = $1 } END {
        printf "%.0f / %.0f MiB", v[int((NR + 1) / 2)] / 1024, v[NR] / 1024 }'
}

start=$(date +%s.%N)
"${display[@]}" "$batch" --jobs "$jobs" --korvel "$work/timed-korvel" \
    --joblog "$work/korvel.joblog" "$work/korvel" >"$work/korvel.txt" 2>&1 || {
    tail -5 "$work/korvel.txt"
    exit 1
}
end=$(date +%s.%N)
kw=$(echo "$end - $start" | bc)
echo "korvel-batch: $shots shots, $jobs jobs: $(awk -v s="$shots" -v w="$kw" \
    'BEGIN { printf "%.1f s, %.1f shots per minute", w, 60 * s / w }'), peak memory per job" \
    "$(peaks "$work"/korvel/shot*/rig.pts.mem)"

if [ "$peer" = 1 ]; then
    # The project as Hugin's .pto, images by absolute path.
    for shot in "$work"/cpfind/shot*; do
        awk -v dir="$shot" -f "$root/scripts/pts-to-pto.awk" "$shot/rig.pts" >"$shot/rig.pto"
    done
    start=$(date +%s.%N)
    find "$work/cpfind" -name rig.pto | LC_ALL=C sort |
        parallel --jobs "$jobs" '/usr/bin/time -f %M -o {}.mem cpfind --prealigned -o {//}/out.pto {} >{//}/cpfind.txt 2>&1'
    end=$(date +%s.%N)
    cw=$(echo "$end - $start" | bc)
    echo "cpfind --prealigned: $shots shots, $jobs jobs: $(awk -v s="$shots" -v w="$cw" \
        'BEGIN { printf "%.1f s, %.1f shots per minute", w, 60 * s / w }'), peak memory per job" \
        "$(peaks "$work"/cpfind/shot*/rig.pto.mem)"
    awk -v k="$kw" -v c="$cw" 'BEGIN { printf "korvel / cpfind: wall %.3f\n", k / c }'
fi
echo "files: $work"
