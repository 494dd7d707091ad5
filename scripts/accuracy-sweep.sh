#!/usr/bin/env bash
# Accuracy sweep (a measurement, not part of CI): makes synthetic rigs with exact truth, runs korvel
# on each, scores the points against the truth, compares with a SIFT peer and Hugin's optimiser,
# and prints one table row per rig plus totals.
#   scripts/accuracy-sweep.sh [--rigs N] [--keep DIR] [--jobs N] [--only PATTERN[,...]]
#                             [--tag NAME] [--pose-error D[,D...]] [--large-every K] [--no-peer]
#                             [--no-optimise] [--decimals N] ...
#   KORVEL=path   the binary to measure (default: build/korvel of this checkout)
#   RIG_TOOLS=dir rigsim.py, score.py, ... (default: shared/tools here, else /work/shared/tools)
# Rerun with the same --keep after a code change: rigs and the peer's results are reused, only
# korvel and the scoring run again. --tag keeps runs apart (DIR/TAG.txt, .tsv, .json).
# See scripts/accuracy_sweep.py --help for every option.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

case " $* " in *" -h "* | *" --help "*) exec /usr/bin/python3 "$here/accuracy_sweep.py" --help ;; esac

missing=()
[ -x /usr/bin/python3 ] || missing+=(python3)
if [ -x /usr/bin/python3 ]; then
    /usr/bin/python3 -c 'import numpy' 2>/dev/null || missing+=(python3-numpy)
    /usr/bin/python3 -c 'import PIL' 2>/dev/null || missing+=(python3-pil)
    /usr/bin/python3 -c 'import cv2' 2>/dev/null || missing+=(python3-opencv)
fi
command -v autooptimiser >/dev/null || missing+=(hugin-tools)
# /usr/bin/convert itself: the wallpapers need ImageMagick's, not a look-alike earlier on PATH
[ -x /usr/bin/convert ] || missing+=(imagemagick)
if [ ${#missing[@]} -gt 0 ]; then
    echo "accuracy-sweep: missing Debian packages: ${missing[*]}" >&2
    echo "  install them with: apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 2
fi
exec nice -n 10 /usr/bin/python3 "$here/accuracy_sweep.py" "$@"
