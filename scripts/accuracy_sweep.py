#!/usr/bin/env python3
"""Accuracy sweep: korvel on many synthetic rigs with exact truth, beside a SIFT peer and Hugin's optimiser.

Called by scripts/accuracy-sweep.sh (which checks the Debian packages first); see --help.
Work folder layout:
  photos/           2048 x 2048 wall photographs from Debian wallpaper packages, texture.tsv
  rigs/NAME/        rig.pts, truth.json, images, rig-truth.pts (no parallax), pairs.json, sweep.json,
                    peer.txt / peer.json (the peer's cached result), rig-poseD.pts with --pose-error
  runs/TAG/         NAME.log, NAME.err, NAME.cps (points as the tools read them), NAME.json
  TAG.txt TAG.tsv TAG.json   the table, for before/after comparison
"""
import argparse, concurrent.futures as cf, fnmatch, json, math, os, re, shutil, subprocess, sys, threading, time

PY = "/usr/bin/python3"
KINDS = ["fisheye6", "ring13", "fish4", "ring10", "cube6"]
# (Debian package, file inside it, short name); the largest raster of each wallpaper
PHOTOS = [
    ("plasma-workspace-wallpapers", "usr/share/wallpapers/%s/contents/images/%s" % p, p[0]) for p in [
        ("Path", "2560x1600.jpg"), ("OneStandsOut", "2560x1600.jpg"), ("Kite", "2560x1600.jpg"),
        ("DarkestHour", "2560x1600.jpg"), ("summer_1am", "2560x1600.jpg"), ("EveningGlow", "2560x1600.jpg"),
        ("Autumn", "2560x1600.jpg"), ("BytheWater", "2560x1600.jpg"), ("ColdRipple", "2560x1600.jpg"),
        ("ColorfulCups", "2560x1600.jpg"), ("FallenLeaf", "2560x1600.jpg"), ("Grey", "2560x1600.jpg"),
        ("MilkyWay", "5120x2880.png"), ("SafeLanding", "5120x2880.jpg"), ("Shell", "5120x2880.jpg"),
        ("Volna", "5120x2880.jpg"), ("Flow", "5120x2880.jpg"), ("Honeywave", "5120x2880.jpg"),
        ("IceCold", "5120x2880.png"), ("Kay", "5120x2880.png"), ("Altai", "5120x2880.png"),
        ("Canopee", "3840x2160.png"), ("Cascade", "3840x2160.png"), ("Cluster", "3840x2160.png"),
        ("Elarun", "2560x1600.png"), ("Kokkini", "3840x2160.png"), ("Opal", "3840x2160.png"),
        ("PastelHills", "3200x2000.jpg"), ("Patak", "5120x2880.png")]
] + [
    ("mate-backgrounds", "usr/share/backgrounds/mate/nature/%s.jpg" % n, "mate-" + n) for n in
    ["Aqua", "Blinds", "Dune", "Garden", "GreenMeadow", "LadyBird", "RainDrops", "Storm", "TwoWings", "Wood",
     "YellowFlower"]
] + [
    ("mate-backgrounds", "usr/share/backgrounds/mate/abstract/Elephants_5640x3172.jpg", "mate-Elephants"),
    ("gnome-backgrounds", "usr/share/backgrounds/gnome/adwaita-l.webp", "gnome-adwaita"),
    ("gnome-backgrounds", "usr/share/backgrounds/gnome/wood-l.webp", "gnome-wood"),
    ("xfdesktop4-data", "usr/share/backgrounds/xfce/xfce-teal.jpg", "xfce-teal"),
] + [
    ("ukui-wallpapers", "usr/share/backgrounds/%s" % f, "ukui-" + f.split(".")[0]) for f in
    ["2004default.jpg", "calla.png", "city.png", "desert.png", "firstgeneration.jpg", "goldfish.png",
     "rhythm.jpg", "string.jpg", "the-mouse.jpg"]
]
# Weak texture: share of 16 x 16 blocks (of the photograph at 1024 x 1024) whose mean absolute grey
# step is under 1.5 levels per pixel; at or above WEAK_SHARE the photograph counts as weak.
WEAK_SHARE = 0.75

log_lock = threading.Lock()


def say(*a):
    with log_lock:
        print(*a, file=sys.stderr, flush=True)


def run(cmd, **kw):
    return subprocess.run(["nice", "-n", "10"] + cmd, capture_output=True, text=True, **kw)


def last_json(text):
    for line in reversed(text.strip().splitlines()):
        if line.startswith("{"):
            return json.loads(line)
    raise ValueError("no JSON line in: " + text.strip()[-300:])


def points_per_pair(path, distinct=False):
    """{(i, j), i < j: number of control-point lines} of a 0-based log; with distinct, a line
    repeated word for word counts once (the SIFT peer lists some matches twice)."""
    count, seen = {}, set()
    for line in open(path, errors="replace"):
        m = re.match(r"^c n(\d+) N(\d+) ", line)
        if m and distinct and line in seen:
            continue
        seen.add(line)
        if m:
            k = tuple(sorted((int(m.group(1)), int(m.group(2)))))
            count[k] = count.get(k, 0) + 1
    return count


# ---------------------------------------------------------------- photographs

def flat_share(path):
    import numpy as np
    from PIL import Image, PngImagePlugin
    PngImagePlugin.MAX_TEXT_CHUNK = 1 << 30
    g = np.asarray(Image.open(path).convert("L").resize((1024, 1024), Image.BILINEAR), np.float32)
    m = np.abs(np.diff(g, axis=1))[:-1] + np.abs(np.diff(g, axis=0))[:, :-1]
    b = m[:1008, :1008].reshape(63, 16, 63, 16).mean((1, 3))
    return float((b < 1.5).mean())


def prepare_photos(folder, given):
    """Returns {name: path} and {name: flat share}; builds the squares from the packages once."""
    os.makedirs(folder, exist_ok=True)
    if given:
        paths = {os.path.splitext(f)[0]: os.path.join(given, f) for f in sorted(os.listdir(given))
                 if f.lower().endswith((".png", ".jpg", ".jpeg"))}
    else:
        paths = {name: os.path.join(folder, name + ".png") for _, _, name in PHOTOS}
        missing = [(pkg, src, name) for pkg, src, name in PHOTOS if not os.path.exists(paths[name])]
        if missing:
            debs, tree = os.path.join(folder, "debs"), os.path.join(folder, "x")
            os.makedirs(debs, exist_ok=True)
            for pkg in sorted({m[0] for m in missing}):
                if not any(f.startswith(pkg + "_") for f in os.listdir(debs)):
                    say("photos: apt-get download", pkg)
                    r = subprocess.run(["apt-get", "download", pkg], cwd=debs, capture_output=True, text=True)
                    if r.returncode:
                        sys.exit("accuracy-sweep: apt-get download %s failed: %s" % (pkg, r.stderr.strip()[-300:]))
                deb = [f for f in os.listdir(debs) if f.startswith(pkg + "_")][0]
                subprocess.run(["dpkg", "-x", os.path.join(debs, deb), tree], check=True)
            for pkg, src, name in missing:
                say("photos: converting", name)
                tmp = paths[name] + ".tmp.png"
                # -strip: some wallpapers carry metadata chunks too large for PIL
                r = run(["/usr/bin/convert", os.path.join(tree, src) + "[0]", "-background", "white", "-alpha",
                         "remove", "-strip", "-resize", "2048x2048^", "-gravity", "center", "-extent",
                         "2048x2048", "-type", "TrueColor", tmp])
                if r.returncode:
                    sys.exit("accuracy-sweep: converting %s failed: %s" % (src, r.stderr.strip()[-300:]))
                os.replace(tmp, paths[name])
            shutil.rmtree(tree, ignore_errors=True)
    tsv = os.path.join(folder, "texture.tsv")
    known = {}
    if os.path.exists(tsv):
        for line in open(tsv):
            f = line.rstrip("\n").split("\t")
            if len(f) >= 2 and f[0] in paths:
                known[f[0]] = float(f[1])
    for name, p in paths.items():
        if name not in known:
            known[name] = round(flat_share(p), 3)
    with open(tsv, "w") as f:
        for name in sorted(known):
            f.write("%s\t%.3f\t%s\n" % (name, known[name], "weak" if known[name] >= WEAK_SHARE else "busy"))
    return paths, known


# ---------------------------------------------------------------- the plan

def plan(n, photos, flat, large_every):
    """Rig i's settings; a pure function of i and the photograph list, so reruns give the same rigs."""
    import numpy as np
    weak = sorted(p for p in photos if flat[p] >= WEAK_SHARE)
    busy = sorted(p for p in photos if flat[p] < WEAK_SHARE)
    rigs = []
    for i in range(n):
        rng = np.random.default_rng(7000 + i)
        kind = KINDS[i % 5]
        portrait = kind in ("ring13", "ring10")
        # sizes go by blocks of five (one of each kind), so every kind meets every size
        block = i // 5
        if large_every and block % large_every == large_every - 1:
            wh = (3000, 4000)
        else:
            wh = [(1500, 2000), (1200, 1600), (900, 1200)][block % 3]
        if not portrait:
            wh = wh[::-1]
        texture = {2: "weak", 0: "mixed"}.get(i % 4, "busy")
        if texture == "weak":
            faces = list(rng.choice(weak, 6, replace=False))
        elif texture == "mixed":
            faces = list(rng.choice(weak, 3, replace=False)) + list(rng.choice(busy, 3, replace=False))
            faces = [faces[k] for k in rng.permutation(6)]
        else:
            faces = list(rng.choice(busy, 6, replace=False))
        parallax = i % 3 == 1
        r = dict(name="%02d-%s" % (i, kind), kind=kind, size="%dx%d" % wh, texture=texture,
                 faces=[str(f) for f in faces], seed=100 + i,
                 noise=round(float(rng.uniform(1, 5)), 1), exposure=round(float(rng.uniform(0, 1)), 2),
                 jitter=round(float(rng.uniform(0, 3)), 2), baseline=0.0, room=2.5)
        if parallax:
            r["baseline"] = float(rng.choice([0.03, 0.04, 0.05]))
            r["room"] = float(rng.choice([2.0, 2.5, 3.0]))
        rigs.append(r)
    return rigs


# ---------------------------------------------------------------- one rig

class Sweep:
    def __init__(self, a):
        self.a = a
        self.tools = a.tools
        sys.path.insert(0, self.tools)

    def generate(self, r, photos):
        d = os.path.join(self.a.work, "rigs", r["name"])
        meta = os.path.join(d, "sweep.json")
        if os.path.exists(meta):
            return json.load(open(meta)), d
        shutil.rmtree(d, ignore_errors=True)
        say("generating", r["name"])
        cmd = [PY, os.path.join(self.tools, "rigsim.py"), "--faces"] + [photos[f] for f in r["faces"]] + [
            "--kind", r["kind"], "--out", d, "--size", r["size"], "--seed", str(r["seed"]), "--distort",
            "--vignetting", "--exposure", str(r["exposure"]), "--jitter", str(r["jitter"]), "--noise", str(r["noise"])]
        if r["baseline"]:
            cmd += ["--baseline", str(r["baseline"]), "--room", str(r["room"])]
        p = run(cmd)
        if p.returncode:
            raise RuntimeError("rigsim failed: " + p.stderr.strip()[-300:])
        if not r["baseline"]:
            p = run([PY, os.path.join(self.tools, "truthcps.py"), d])
            if p.returncode:
                raise RuntimeError("truthcps failed: " + p.stderr.strip()[-300:])
        json.dump(dict(pairs=self.overlap_pairs(d)), open(os.path.join(d, "pairs.json"), "w"))
        json.dump(r, open(meta + ".tmp", "w"), indent=1)
        os.replace(meta + ".tmp", meta)  # last: a rig without it is regenerated
        return r, d

    def overlap_pairs(self, d):
        """The pairs that should be matched: those truthcps.py gives points, whether or not it ran."""
        import numpy as np
        import truthcps
        t = json.load(open(os.path.join(d, "truth.json")))
        pairs = {"fisheye6": truthcps.FISH6, "ring13": truthcps.RING13}.get(t["kind"]) or \
            truthcps.overlap_pairs(t["cameras"], np.random.default_rng(5))
        return sorted({tuple(sorted(map(int, p))) for p in pairs})

    def pose_project(self, d, seed, err):
        """rig-poseD.pts: the project with poses off the truth exactly as rigsim's --pose-error makes it
        (same generator), so the images need not be rendered again."""
        import numpy as np
        import rigsim
        out = os.path.join(d, "rig-pose%g.pts" % err)
        if not os.path.exists(out):
            t = json.load(open(os.path.join(d, "truth.json")))
            prng = np.random.default_rng(seed + 1000)
            told = [dict(c, **{k: float(c[k] + prng.uniform(-err, err)) for k in "ypr"}) for c in t["cameras"]]
            for c in told:
                c["y"] = c["y"] % 360.0
            rigsim.write_project(out + ".tmp", told, t["images"])
            os.replace(out + ".tmp", out)
        return out

    def peer(self, d, pairs):
        """Pairs the peer matches with at least 10 distinct inliers; its run is cached beside the rig."""
        out, meta = os.path.join(d, "peer.txt"), os.path.join(d, "peer.json")
        if not os.path.exists(meta):
            rig = d
            if not os.path.exists(os.path.join(d, "rig-truth.pts")):
                # the peer takes its pairs from rig-truth.pts: a parallax rig gets a shadow folder
                # whose rig-truth.pts names the overlapping pairs (no exact points exist there)
                rig = os.path.join(d, "peer-shadow")
                os.makedirs(rig, exist_ok=True)
                t = json.load(open(os.path.join(d, "truth.json")))
                for f in t["images"] + ["truth.json"]:
                    if not os.path.lexists(os.path.join(rig, f)):
                        os.symlink(os.path.join("..", f), os.path.join(rig, f))
                with open(os.path.join(rig, "rig-truth.pts"), "w") as f:
                    f.writelines("c n%d N%d x0 y0 X0 Y0 t0\n" % (i + 1, j + 1) for i, j in pairs)
            say("peer", os.path.basename(d))
            p = run([PY, os.path.join(self.tools, "peer_sift.py"), rig, out + ".tmp"])
            if p.returncode:
                raise RuntimeError("peer_sift failed: " + p.stderr.strip()[-300:])
            os.replace(out + ".tmp", out)
            json.dump(last_json(p.stdout), open(meta, "w"))
        return {k for k, v in points_per_pair(out, distinct=True).items() if v >= 10}

    def korvel_run(self, r, d, project, label):
        a = self.a
        rd = os.path.join(a.work, "runs", a.tag)
        os.makedirs(rd, exist_ok=True)
        log, err, cps = (os.path.join(rd, label + ext) for ext in (".log", ".err", ".cps"))
        row = dict(name=label, kind=r["kind"], size=r["size"], texture=r["texture"],
                   parallax=("%gcm/%gm" % (r["baseline"] * 100, r["room"])) if r["baseline"] else "-",
                   project=os.path.basename(project), noise=r["noise"], exposure=r["exposure"], jitter=r["jitter"],
                   faces=r["faces"])
        t0 = time.monotonic()
        # its own process group, so that a timeout ends whatever korvel started too
        env = dict(os.environ)
        if a.decimals is not None:
            env["KORVEL_CP_DECIMALS"] = str(a.decimals)
        p = subprocess.Popen([a.korvel, project, log], cwd=d, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             text=True, errors="replace", start_new_session=True, env=env)
        try:
            stderr = p.communicate(timeout=a.timeout)[1]
            rc = p.returncode
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, 9)
            stderr = p.communicate()[1]
            rc = "timeout"
        row["seconds"] = round(time.monotonic() - t0, 1)
        open(err, "w").write(stderr)
        if rc != 0:
            lines = [l for l in stderr.strip().splitlines() if l.strip()]
            errline = next((l for l in lines if l.startswith("Error")), lines[-1] if lines else "")
            row["error"] = "korvel %s: %s" % ("timed out after %d s" % a.timeout if rc == "timeout" else "status %s" % rc,
                                              errline[:200])
            return row
        # korvel pads coordinates ("x 8.4"); the tools' patterns want the number right after the letter
        with open(log, errors="replace") as f, open(cps, "w") as g:
            for line in f:
                if line.startswith("c n") or line.startswith("ExposureParams"):
                    g.write(re.sub(r" ([xyXY]) +", r" \1", line))
        return row

    def score(self, row, d, pairs, peer10, optimise):
        a = self.a
        cps = os.path.join(a.work, "runs", a.tag, row["name"] + ".cps")
        p = run([PY, os.path.join(self.tools, "score.py"), os.path.join(d, "truth.json"), cps])
        if p.returncode:
            row["error"] = "score.py failed: " + p.stderr.strip()[-200:]
            return row
        s = last_json(p.stdout)
        got = points_per_pair(cps)
        want = {tuple(p) for p in pairs}
        row.update(pairs_matched=len(want & set(got)), pairs_overlapping=len(want),
                   missed_pairs=["%d-%d" % k for k in sorted(want - set(got))],
                   extra_pairs=len(set(got) - want), points=s["cps"], median=s.get("median"), mean=s.get("mean"),
                   max=s.get("max"), gt5=s.get("outliers_gt5", 0), gt20=s.get("outliers_gt20", 0),
                   exposure_err=s.get("exposure_max_err_stops"))
        if peer10 is not None:
            only = sorted(peer10 - set(got))
            row.update(peer_pairs10=len(peer10), peer_only=len(only), peer_only_pairs=["%d-%d" % k for k in only])
        if optimise:
            if row["points"] == 0:
                row["optimiser_deg"] = None
            else:
                p = run([PY, os.path.join(self.tools, "optimise_check.py"), os.path.join(d, "truth.json"), cps,
                         "--shift", "-0.5"])
                if p.returncode:
                    row["optimiser_error"] = p.stderr.strip()[-200:]
                else:
                    o = last_json(p.stdout)
                    row.update(optimiser_deg=o["pose_err_mean_deg"], optimiser_max_deg=o["pose_err_max_deg"])
        return row

    def rig(self, r, photos):
        a = self.a
        try:
            r, d = self.generate(r, photos)
            pairs = [tuple(p) for p in json.load(open(os.path.join(d, "pairs.json")))["pairs"]]
            peer10 = None if a.no_peer else self.peer(d, pairs)
            t = json.load(open(os.path.join(d, "truth.json")))
            # Hugin normalises a fisheye polynomial by the shorter side, the project by the width
            landscape_fish = any(c["v"] > 80 and c["w"] > c["h"] for c in t["cameras"])
            optimise = not (a.no_optimise or r["baseline"] or landscape_fish)
            projects = [(os.path.join(d, "rig.pts"), r["name"])]
            for err in a.pose_error:
                projects.append((self.pose_project(d, r["seed"], err), "%s+pose%g" % (r["name"], err)))
            rows = []
            for project, label in projects:
                say("korvel", label)
                row = self.korvel_run(r, d, project, label)
                if "error" not in row:
                    row = self.score(row, d, pairs, peer10, optimise)
                json.dump(row, open(os.path.join(a.work, "runs", a.tag, label + ".json"), "w"), indent=1)
                rows.append(row)
            return rows
        except Exception as e:  # one broken rig is a row, not the end of the sweep
            return [dict(name=r["name"], kind=r["kind"], size=r["size"], texture=r["texture"],
                         parallax="-" if not r["baseline"] else "yes", error="%s: %s" % (type(e).__name__, e))]


# ---------------------------------------------------------------- the table

COLS = [("rig", "name", "%s"), ("kind", "kind", "%s"), ("size", "size", "%s"), ("texture", "texture", "%s"),
        ("parallax", "parallax", "%s"), ("pairs", None, None), ("points", "points", "%d"),
        ("median", "median", "%.2f"), ("mean", "mean", "%.2f"), ("max", "max", "%.1f"), (">5px", "gt5", "%d"),
        ("exp.err", "exposure_err", "%.3f"), ("peer-only", "peer_only", "%d"), ("opt.deg", "optimiser_deg", "%.4f"),
        ("seconds", "seconds", "%.1f")]


def cell(row, key, f):
    if key is None:
        return "%d/%d" % (row["pairs_matched"], row["pairs_overlapping"]) if "pairs_matched" in row else "-"
    v = row.get(key)
    return "-" if v is None else f % v


def table(rows):
    head = [c[0] for c in COLS]
    body = [[cell(r, k, f) for _, k, f in COLS] for r in rows]
    wid = [max(len(x) for x in col) for col in zip(head, *body)]
    out = ["  ".join(h.ljust(w) if i < 5 else h.rjust(w) for i, (h, w) in enumerate(zip(head, wid)))]
    for r, b in zip(rows, body):
        line = "  ".join(x.ljust(w) if i < 5 else x.rjust(w) for i, (x, w) in enumerate(zip(b, wid)))
        if "error" in r:
            line = "  ".join(x.ljust(w) for x, w in zip(b[:5], wid[:5])) + "  ERROR " + r["error"]
        out.append(line.rstrip())
    return out


def totals(rows, title):
    ok = [r for r in rows if "error" not in r and "points" in r]
    exp = [(r["exposure_err"], r["name"]) for r in ok if r.get("exposure_err") is not None]
    opt = [(r["optimiser_deg"], r["name"]) for r in ok if r.get("optimiser_deg") is not None]
    missed = [r["name"] for r in ok if r["pairs_matched"] < r["pairs_overlapping"]]
    peer = [r["name"] for r in ok if r.get("peer_only")]
    L = ["%s: %d rigs, %d failed" % (title, len(rows), len(rows) - len(ok)),
         "  points: %d, points > 5 px: %d (in %d rigs), > 20 px: %d" % (
             sum(r["points"] for r in ok), sum(r["gt5"] for r in ok), sum(1 for r in ok if r["gt5"]),
             sum(r["gt20"] for r in ok)),
         "  rigs with missed overlapping pairs: %d%s (pairs missed: %d of %d)" % (
             len(missed), " (%s)" % ", ".join(missed) if missed else "",
             sum(r["pairs_overlapping"] - r["pairs_matched"] for r in ok), sum(r["pairs_overlapping"] for r in ok)),
         "  rigs with peer-only pairs: %d%s (pairs: %d)" % (
             len(peer), " (%s)" % ", ".join(peer) if peer else "", sum(r.get("peer_only", 0) for r in ok)),
         "  worst exposure error: %s" % ("%.3f stops (%s)" % max(exp) if exp else "-"),
         "  worst optimiser error: %s" % ("%.4f deg mean pose error (%s)" % max(opt) if opt else "-"),
         "  korvel time: %.1f s in all, slowest %s" % (
             sum(r.get("seconds", 0) for r in rows),
             "%.1f s (%s)" % max((r["seconds"], r["name"]) for r in rows if "seconds" in r) if any(
                 "seconds" in r for r in rows) else "-")]
    failed = [r for r in rows if "error" in r]
    L += ["  failed: %s: %s" % (r["name"], r["error"]) for r in failed]
    return L


def against_exact(rows, posed):
    """Each posed rig's median and mean against the same rig's with exact poses, and the pairs
    that it misses where the rig with exact poses matches them."""
    exact = {r["name"]: r for r in rows if "error" not in r and r.get("median")}
    ratios, lost = [], []
    for r in posed:
        e = exact.get(r["name"].rsplit("+pose", 1)[0])
        if not e or "error" in r:
            continue
        if r.get("median") and r.get("mean") and e.get("median") and e.get("mean"):
            ratios.append((r["median"] / e["median"], r["mean"] / e["mean"], r["name"]))
        if "missed_pairs" in r and "missed_pairs" in e:
            lost += ["%s %s" % (r["name"], p) for p in r["missed_pairs"] if p not in e["missed_pairs"]]
    if not ratios:
        return []
    over = [n for m, a, n in ratios if max(m, a) > 1.1]
    geo = lambda v: math.exp(sum(math.log(x) for x in v) / len(v))
    return ["  against exact poses: median x%.3f, mean x%.3f (geometric means over %d rigs); "
            "median or mean more than 10 %% above: %d rigs%s" % (
                geo([m for m, _, _ in ratios]), geo([a for _, a, _ in ratios]), len(ratios), len(over),
                " (%s)" % ", ".join(over) if over else ""),
            "  pairs matched with exact poses and missed here: %d%s" % (
                len(lost), " (%s)" % ", ".join(lost) if lost else "")]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(prog="accuracy-sweep.sh", description=__doc__.split("\n")[0])
    ap.add_argument("--rigs", type=int, default=40, help="number of rigs (default 40)")
    ap.add_argument("--keep", metavar="DIR", help="work folder, kept: existing rigs and peer results are reused")
    ap.add_argument("--jobs", type=int, default=1, help="rigs handled side by side (default 1; timings suffer)")
    ap.add_argument("--only", metavar="PATTERN[,PATTERN...]",
                    help="only rigs whose name matches one of these globs (e.g. '*ring13*' or '131-*,136-*')")
    ap.add_argument("--pose-error", type=lambda v: [float(x) for x in v.split(",")], default=[], metavar="D[,D...]",
                    help="also run korvel on each rig's project with poses off by up to D degrees; several "
                         "values make a table each (e.g. 0.002,1: a thirtieth of a pixel shows how far the "
                         "medians of one rig wander when nothing but the draw changes)")
    ap.add_argument("--tag", default="latest", help="names the run's results: runs/TAG/, TAG.txt/.tsv/.json")
    ap.add_argument("--large-every", type=int, default=8, metavar="K",
                    help="every K-th block of five rigs (one of each kind) at 3000x4000 (default 8; 0: none)")
    ap.add_argument("--photos", metavar="DIR", help="use these 2048x2048 photographs instead of the packaged ones")
    ap.add_argument("--tools", default=os.environ.get("RIG_TOOLS") or next(
        (p for p in (os.path.join(here, "..", "shared", "tools"), "/work/shared/tools")
         if os.path.exists(os.path.join(p, "rigsim.py"))), "/work/shared/tools"), help="folder of rigsim.py etc.")
    ap.add_argument("--timeout", type=int, default=1800, help="seconds one korvel run may take (default 1800)")
    ap.add_argument("--decimals", type=int, choices=range(7), metavar="N",
                    help="decimals of korvel's control points (KORVEL_CP_DECIMALS): its log's 1 by default, which "
                         "rounds each coordinate by up to 0.05 px; 3 as -p writes them for Hugin")
    ap.add_argument("--no-peer", action="store_true", help="skip the SIFT peer")
    ap.add_argument("--no-optimise", action="store_true", help="skip Hugin's optimiser")
    ap.add_argument("--generate-only", action="store_true", help="make the rigs (and peer results), run nothing")
    a = ap.parse_args()
    a.korvel = os.path.abspath(os.environ.get("KORVEL") or os.path.join(here, "..", "build", "korvel"))
    if not a.generate_only and not os.access(a.korvel, os.X_OK):
        sys.exit("accuracy-sweep: no korvel at %s (build it, or set KORVEL)" % a.korvel)
    if not a.keep:
        import tempfile
        a.keep = tempfile.mkdtemp(prefix="korvel-sweep-")
    a.work = os.path.abspath(a.keep)
    os.makedirs(a.work, exist_ok=True)
    say("work folder:", a.work, " korvel:", a.korvel)
    photos, flat = prepare_photos(os.path.join(a.work, "photos"), a.photos)
    rigs = plan(a.rigs, photos, flat, a.large_every)
    if a.only:
        # Several patterns name rigs made before one by one, without making the plan's others.
        patterns = [p for p in a.only.split(",") if p]
        rigs = [r for r in rigs if any(fnmatch.fnmatch(r["name"], p) or p in r["name"] for p in patterns)]
    sw = Sweep(a)
    t0 = time.monotonic()
    if a.generate_only:
        def ready(r):
            try:
                _, d = sw.generate(r, photos)
                if not a.no_peer:
                    sw.peer(d, [tuple(p) for p in json.load(open(os.path.join(d, "pairs.json")))["pairs"]])
                say("ready", r["name"])
            except Exception as e:
                say("FAILED", r["name"], e)
        with cf.ThreadPoolExecutor(a.jobs) as ex:
            list(ex.map(ready, rigs))
        return
    with cf.ThreadPoolExecutor(a.jobs) as ex:
        results = list(ex.map(lambda r: sw.rig(r, photos), rigs))
    rows = [row for rs in results for row in rs if "+pose" not in row["name"]]
    prow = [row for rs in results for row in rs if "+pose" in row["name"]]
    wall = time.monotonic() - t0
    L = ["korvel: %s" % a.korvel, "work folder: %s  (rigs in %s/rigs)" % (a.work, a.work),
         "weak photographs (flat share >= %.2f): %s" % (WEAK_SHARE, ", ".join(sorted(p for p in flat if flat[p] >= WEAK_SHARE))),
         ""]
    L += table(rows) + [""] + totals(rows, "exact poses")
    for err in a.pose_error:
        these = [r for r in prow if r["name"].endswith("+pose%g" % err)]
        L += ["", "project poses off by up to %g degrees (same images and truth):" % err] + table(these) + [""] + \
             totals(these, "pose error %g" % err) + against_exact(rows, these)
    L += ["", "sweep wall time: %.0f s (jobs %d)" % (wall, a.jobs)]
    text = "\n".join(L) + "\n"
    sys.stdout.write(text)
    base = os.path.join(a.work, a.tag)
    open(base + ".txt", "w").write(text)
    json.dump(dict(korvel=a.korvel, pose_error=a.pose_error, rows=rows + prow), open(base + ".json", "w"), indent=1)
    keys = ["name", "kind", "size", "texture", "parallax", "pairs_matched", "pairs_overlapping", "points", "median",
            "mean", "max", "gt5", "gt20", "exposure_err", "peer_only", "optimiser_deg", "seconds", "missed_pairs",
            "peer_only_pairs", "noise", "exposure", "jitter", "faces", "error"]
    with open(base + ".tsv", "w") as f:
        f.write("\t".join(keys) + "\n")
        for r in rows + prow:
            f.write("\t".join(",".join(v) if isinstance(v, list) else "" if v is None else str(v)
                              for v in (r.get(k) for k in keys)) + "\n")
    say("wrote %s.txt, .tsv, .json" % base)


if __name__ == "__main__":
    main()
