#!/usr/bin/env python3
"""Errors of control points against a synthetic rig's truth.json, camera centres included.

korvel -e measures every point from the rig's centre, so on a rig whose cameras stand apart
(ring13-parallax) its errors are mostly true parallax. Here the point that camera n sees is
placed on the walls of the room (a cube of half-size "room" around the origin), seen again
from camera N's centre and compared with the direction of N's end of the point, in pixels of
the same reference panorama as -e.

    scripts/truth_errors.py <truth.json> <korvel log> [above]   (control points counted from 0)

With a number `above`, each point whose error exceeds it is listed first, as its control-point
line and its error: where the wrong points of a run lie, and in which pairs.
"""
import json
import math
import re
import sys


def rotation(axis, degrees):
    c, s = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    return {"x": [[1, 0, 0], [0, c, -s], [0, s, c]],
            "y": [[c, 0, s], [0, 1, 0], [-s, 0, c]],
            "z": [[c, -s, 0], [s, c, 0], [0, 0, 1]]}[axis]


def product(a, b):
    return [[sum(a[i][k] * b[k][j] for k in range(3)) for j in range(3)] for i in range(3)]


def normalised(v):
    n = math.sqrt(sum(x * x for x in v))
    return [x / n for x in v]


class Camera:
    def __init__(self, c):
        self.c = c
        # World to camera, as korvel's cameraMat(yaw, pitch, roll).
        self.m = product(product(rotation("z", c["r"]), rotation("x", c["p"])),
                         rotation("y", -c["y"]))
        self.centre = c.get("centre", [0, 0, 0])

    def direction(self, x, y):
        """World direction of source pixel (x, y)."""
        c = self.c
        half = c["w"] / 2
        u = ((x - c["w"] / 2 - c["d"]) / half, -(y - c["h"] / 2 - c["e"]) / half)
        r = math.hypot(*u)
        v = [0.0, 0.0, 1.0]
        if r > 0:
            t = r  # undistorted radius: Newton on a t^4 + b t^3 + c t^2 + (1 - a - b - c) t = r
            a, b, cc = c["a"], c["b"], c["c"]
            for _ in range(30):
                f = ((a * t + b) * t + cc) * t * t + (1 - a - b - cc) * t - r
                t -= f / (4 * a * t ** 3 + 3 * b * t * t + 2 * cc * t + (1 - a - b - cc))
            phi = math.radians(c["v"])
            if c["v"] <= 80:
                k = t * math.tan(phi / 2) / r
                v = normalised([u[0] * k, u[1] * k, 1])
            else:
                angle = t * phi / 2
                v = [u[0] / r * math.sin(angle), u[1] / r * math.sin(angle), math.cos(angle)]
        return [sum(self.m[k][i] * v[k] for k in range(3)) for i in range(3)]


POINT = re.compile(r"^c n(\d+) N(\d+) x\s*(\S+) y\s*(\S+) X\s*(\S+) Y\s*(\S+)")


def main():
    cameras = [Camera(c) for c in json.load(open(sys.argv[1]))["cameras"]]
    room = cameras[0].c.get("room", 2.5)
    width = 21210.0 if len(cameras) > 7 else 14140.0
    errors = []
    above = float(sys.argv[3]) if len(sys.argv) > 3 else None
    for line in open(sys.argv[2]):
        # Coordinates are printed %4.1f wide: a small one reads "x 8.4".
        m = POINT.match(line)
        if not m:
            continue
        a, b = cameras[int(m[1])], cameras[int(m[2])]
        x, y, X, Y = (float(v) for v in m.groups()[2:])
        d = a.direction(x, y)
        t = min(((room if d[k] > 0 else -room) - a.centre[k]) / d[k] for k in range(3) if d[k])
        point = [a.centre[k] + t * d[k] for k in range(3)]
        want = normalised([point[k] - b.centre[k] for k in range(3)])
        got = b.direction(X, Y)
        errors.append(math.dist(want, got) / (2 * math.pi) * width)
        if above is not None and errors[-1] > above:
            print("%s  %.2f" % (m[0], errors[-1]))
    errors.sort()
    n = len(errors)
    median = (errors[(n - 1) // 2] + errors[n // 2]) / 2 if n else 0
    print("points: %d  mean: %.3f  median: %.3f  max: %.2f  above 5: %d  above 20: %d" % (
        n, sum(errors) / max(n, 1), median, errors[-1] if n else 0,
        sum(e > 5 for e in errors), sum(e > 20 for e in errors)))


main()
