#!/usr/bin/env bash
# korvel-stitch: a rig project to an equirectangular panorama with korvel and Hugin's tools.
set -euo pipefail

usage() {
  cat <<'USAGE'
usage: korvel-stitch PROJECT OUT.jpg [WIDTH]

Stitches the images of a rig project (.pts or Hugin's .pto, with calibrated lens and pose
values) into an equirectangular panorama of 360 x 180 degrees: korvel finds the control points
and exposure values, Hugin's autooptimiser adjusts the poses (image 0 kept), nona remaps and
verdandi blends. WIDTH: the panorama's width in pixels (its height is half of it); default the
width at which the finest image keeps its resolution. Needs Hugin's command-line tools (Debian
hugin-tools). KORVEL names the korvel executable (default: beside this script, else on PATH);
KORVEL_STITCH_KEEP a folder that keeps the intermediate files.
USAGE
}

die() {
  echo "korvel-stitch: $*" >&2
  exit 1
}

case "${1:-}" in -h | --help) usage; exit 0 ;; esac
[ $# -ge 2 ] && [ $# -le 3 ] || { usage >&2; exit 2; }
project=$1 out=$2 width=${3:-}
[ -z "$width" ] || [[ "$width" =~ ^[1-9][0-9]*$ && $((width % 2)) -eq 0 ]] ||
  die "WIDTH must be an even number of pixels, not '$width'"
for tool in autooptimiser pto_var pano_modify nona verdandi; do
  command -v "$tool" >/dev/null || die "$tool not found: install Hugin's tools (apt-get install hugin-tools)"
done
self=$(readlink -f "$0")
korvel=${KORVEL:-}
[ -n "$korvel" ] || { [ -x "$(dirname "$self")/korvel" ] && korvel=$(dirname "$self")/korvel; } ||
  korvel=$(command -v korvel) || die "no korvel executable found (set KORVEL)"

if [ -n "${KORVEL_STITCH_KEEP:-}" ]; then
  work=$KORVEL_STITCH_KEEP
  mkdir -p "$work"
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
projectDir=$(cd "$(dirname "$project")" && pwd)

# Control points and exposure values; the project written for Hugin, its image paths made
# absolute so that the tools find them from the work folder.
"$korvel" -p "$work/points.pto" "$project" "$work/korvel.log" 2>"$work/korvel.err" ||
  die "korvel failed: $(tail -n 1 "$work/korvel.err")"
awk -v dir="$projectDir" '
  /^i / && match($0, / n"[^"]*"/) {
    name = substr($0, RSTART + 3, RLENGTH - 4)
    if (substr(name, 1, 1) != "/") $0 = substr($0, 1, RSTART + 2) dir "/" name substr($0, RSTART + RLENGTH - 1)
  }
  { print }' "$work/points.pto" >"$work/absolute.pto"

# korvel's exposure values, in stops relative to image 0, are Hugin's Eev.
exposures=$(awk '/^ExposureParams / { for (k = 2; k <= NF; ++k) printf "%sEev%d=%s", (k > 2 ? "," : ""), k - 2, $k }' "$work/korvel.log")
[ -n "$exposures" ] || die "korvel's log has no ExposureParams line"
pto_var --set="$exposures" -o "$work/exposed.pto" "$work/absolute.pto" >/dev/null
pto_var --opt=y,p,r -o "$work/vars.pto" "$work/exposed.pto" >/dev/null
autooptimiser -n -o "$work/optimised.pto" "$work/vars.pto" >"$work/autooptimiser.log" 2>&1 ||
  die "autooptimiser failed (see $work/autooptimiser.log)"

canvas=AUTO
[ -z "$width" ] || canvas=${width}x$((width / 2))
pano_modify --projection=2 --fov=360x180 --canvas="$canvas" --crop=0,100,0,100% \
  --output-uncropped-tiff --ldr-file=JPG -o "$work/pano.pto" "$work/optimised.pto" >/dev/null
nona -m TIFF_m -o "$work/remapped" "$work/pano.pto" >"$work/nona.log" 2>&1 ||
  die "nona failed (see $work/nona.log)"
verdandi --wrap --compression=92 --output="$work/pano.jpg" "$work"/remapped*.tif \
  >"$work/verdandi.log" 2>&1 || die "verdandi failed (see $work/verdandi.log)"
mv "$work/pano.jpg" "$out"
echo "korvel-stitch: $out"
