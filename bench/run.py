#!/usr/bin/python3
"""One table of how fast and how lean Orvane Capture Desk is, measured
through the program's own code paths, with the best-known tools side by
side in the same run where they are installed.

    bench/run.py --build BUILD --images DIR [--runs N] [--quick]

Figures are medians with their spread (min-max) over N runs; each ratio is
ours over the fastest peer of the same run. Never compare with figures of
another run: these machines are noisy."""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

rows = []


def timed(cmd, env=None):
    """Runs a command; returns (seconds, peak RSS in MB of it and its children)."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if proc.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(cmd), err.strip()[:300]))
    return elapsed, usage.ru_maxrss / 1024.0


def spread(values):
    return "%.3f (%.3f-%.3f)" % (statistics.median(values), min(values), max(values))


def row(what, ours, target="", peers=None, size=None, rss=None):
    peers = peers or {}
    best = min(peers.items(), key=lambda kv: statistics.median(kv[1])) if peers else None
    ratio = "%.2fx %s" % (statistics.median(ours) / statistics.median(best[1]), best[0]) if best else "-"
    rows.append((what, spread(ours), target, ratio,
                 ", ".join("%s %.3f" % (k, statistics.median(v)) for k, v in sorted(peers.items(),
                                                                                    key=lambda kv: statistics.median(kv[1]))),
                 "" if size is None else "%.1f MB" % (size / 1e6),
                 "" if rss is None else "%.0f MB" % rss))


def have(tool):
    return shutil.which(tool) is not None


def peer_runs(commands, runs):
    results = {}
    for name, cmd in commands.items():
        if not have(cmd[0]) and not os.path.exists(cmd[0]):
            continue
        try:
            results[name] = [timed(cmd)[0] for _ in range(runs)]
        except RuntimeError as e:
            print("  (peer %s skipped: %s)" % (name, e), file=sys.stderr)
    return results


def pillow(script):
    return ["/usr/bin/python3", "-c", "from PIL import Image; import sys; " + script]


def bench_startup(build, runs):
    import xdrive
    times = []
    stub = os.path.join(build, "app", "EZTW32.dll")
    for _ in range(runs):
        xs = xdrive.XServer()
        folder = xdrive.program_folder(build, stub if os.path.exists(stub) else None)
        start = time.perf_counter()
        proc = xdrive.start(xs, folder, {"SANE_CONFIG_DIR": os.path.join(HERE, "..", "eztw32", "sane.d") + ":"})
        try:
            xs.wait_for("Orvane Capture Desk", timeout=60)
            times.append(time.perf_counter() - start)
        finally:
            proc.kill()
            proc.wait()
            xs.close()
            shutil.rmtree(folder, ignore_errors=True)
    row("start-up to main window mapped (Xvfb)", times)


def bench_load(build, images, runs):
    for dpi in (300, 600):
        page = os.path.join(images, "photo-%d.bmp" % dpi)
        out = subprocess.run([os.path.join(build, "bench", "load", "bench_load"), page, str(runs)],
                             capture_output=True, text=True, check=True).stdout
        # "load WxH: median M s (min A, max B, N runs)"
        line = out.splitlines()[0]
        med = float(line.split("median ")[1].split(" s")[0])
        lo = float(line.split("min ")[1].split(",")[0])
        hi = float(line.split("max ")[1].split(",")[0])
        rss = float(out.splitlines()[1].split("memory ")[1].split(" MB")[0])
        target = "0.35 s; %s" % out.splitlines()[1].split("; ")[1] if dpi == 600 else ""
        row("load %d dpi colour BMP to viewer painted" % dpi, [lo, med, hi], target, rss=rss)


def converter_peak(build, page, out_dir):
    """The converter's own peak resident memory, PNG and TIFF, as GNU time
    sees it (a forked child, so the measuring process does not count)."""
    converter = os.path.join(build, "nconvert", "nconvert.exe")
    peaks = []
    for fmt in ("png", "tiff"):
        result = subprocess.run(["/usr/bin/time", "-f", "%M", converter, "-out", fmt, "-o",
                                 os.path.join(out_dir, "rss." + fmt), page], capture_output=True, text=True)
        try:
            peaks.append("%s %.1f MB" % (fmt.upper(), int(result.stderr.strip().splitlines()[-1]) / 1024.0))
        except (ValueError, IndexError):
            peaks.append("%s ?" % fmt.upper())
    return ", ".join(peaks)


def bench_exports(build, images, runs, quick):
    targets = {("jpg", "photo", 600): "0.6 s", ("bmp", "photo", 600): "0.25 s",
               ("png", "photo", 600): "1.5 s, 62 MB", ("png", "doc", 600): "1.5 s, 54 MB",
               ("tiff", "photo", 600): "1.0 s, 64 MB"}
    out_dir = tempfile.mkdtemp(prefix="orvane-bench-")
    try:
        for dpi in ((600,) if quick else (300, 600)):
            for kind in ("photo", "doc"):
                page = os.path.join(images, "%s-%d.bmp" % (kind, dpi))
                result = subprocess.run([os.path.join(build, "bench", "export", "bench_export"), page, out_dir,
                                         str(runs)], capture_output=True, text=True)
                if result.returncode != 0:
                    print("bench_export failed: " + result.stderr, file=sys.stderr)
                    continue
                lines = result.stdout.split("\n")
                rss = [l for l in lines if l.startswith("rss ")][0].split()
                for line in lines:
                    parts = line.split()
                    if len(parts) != 5:
                        continue
                    fmt, med, lo, hi, size = parts[0], float(parts[1]), float(parts[2]), float(parts[3]), int(parts[4])
                    o = os.path.join(out_dir, "peer." + fmt)
                    peers = {
                        "jpg": {"cjpeg": ["cjpeg", "-quality", "100", "-sample", "1x1", "-outfile", o, page],
                                "vips": ["vips", "copy", page, o + "[Q=100,no_subsample]"],
                                "ImageMagick": ["/usr/bin/convert", page, "-quality", "100", "-sampling-factor", "1x1", o],
                                "Pillow": pillow("Image.open(sys.argv[1]).save(sys.argv[2], quality=100, subsampling=0)")
                                + [page, o]},
                        "bmp": {"cp": ["cp", page, o],
                                "ImageMagick": ["/usr/bin/convert", page, "BMP3:" + o],
                                "Pillow": pillow("Image.open(sys.argv[1]).save(sys.argv[2])") + [page, o]},
                        "png": {"vips": ["vips", "pngsave", page, o, "--compression", "1"],
                                "ImageMagick": ["/usr/bin/convert", page, "-quality", "10", o],
                                "Pillow level 1": pillow("Image.open(sys.argv[1]).save(sys.argv[2], compress_level=1)")
                                + [page, o]},
                        "tiff": {"vips": ["vips", "tiffsave", page, o, "--compression", "deflate",
                                          "--predictor", "horizontal"],
                                 "ImageMagick": ["/usr/bin/convert", page, "-compress", "zip", "-define",
                                                 "tiff:predictor=2", o],
                                 "Pillow": pillow("Image.open(sys.argv[1]).save(sys.argv[2], "
                                                  "compression='tiff_adobe_deflate')") + [page, o]},
                    }[fmt]
                    peer_times = peer_runs(peers, 1 if quick else max(1, runs // 2))
                    row("export %s %s %d dpi" % (fmt.upper(), kind, dpi), [lo, med, hi],
                        targets.get((fmt, kind, dpi), ""), peer_times, size)
                converter = converter_peak(build, page, out_dir)
                rows.append(("  peak RSS %s %d dpi: program %s MB, converter %s" % (kind, dpi, rss[1], converter),
                             "", "converter 40 MB", "", "", "", ""))
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)


def bench_scan(build, runs):
    """The scanner library's own benchmark: best of N, against scanimage in the same run."""
    tool = os.path.join(build, "bench", "scan", "bench_scan")
    for dpi in (300, 600):
        result = subprocess.run([tool, "--runs", str(runs), "--dpi", str(dpi)], capture_output=True, text=True)
        lines = result.stdout.splitlines()
        try:
            ref = float([l for l in lines if "scanimage" in l][0].split()[-2])
            ours = float([l for l in lines if "Scan to file" in l][0].split("file")[1].split()[0])
            memory = [l for l in lines if "peak memory" in l][0].split(": ")[1]
        except (IndexError, ValueError):
            rows.append(("scan %d dpi: bench_scan failed" % dpi, "", "", "", result.stdout[-200:], "", ""))
            continue
        row("scan A4 colour %d dpi to BMP (best of %d)" % (dpi, runs), [ours], "1.3x scanimage",
            {"scanimage": [ref]})
        rows.append(("  library memory during the scan: " + memory, "", "a few rows", "", "", "", ""))


def bench_page(build, runs):
    """The scan's corrections on drawn pages: finding and measuring on a preview, straightening."""
    tool = os.path.join(build, "bench", "page", "bench_page")
    out = ""
    for case in ("preview", "300", "600"):
        out += subprocess.run([tool, "--runs", str(runs), "--case", case], capture_output=True, text=True).stdout
    pattern = re.compile(r"^(.+?)\s+([0-9.]+) s \(([0-9.]+)-([0-9.]+)\)\s+target ([0-9.]+ s)\s+\S+\s*(.*)$")
    found = False
    for line in out.splitlines():
        m = pattern.match(line)
        if not m:
            continue
        found = True
        what, median, low, high, target, extra = m.groups()
        rows.append((what, "%s (%s-%s)" % (median, low, high), target, "-", "", "", extra.strip()))
    if not found:
        rows.append(("corrections: bench_page failed", "", "", "", out[-200:], "", ""))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--images", required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="600 dpi only, one peer run")
    a = ap.parse_args()
    print("Orvane Capture Desk benchmarks, %s, %d cores; medians of %d runs (min-max), seconds"
          % (time.strftime("%Y-%m-%d %H:%M"), os.cpu_count(), a.runs))
    bench_startup(a.build, a.runs)
    bench_scan(a.build, max(1, a.runs // 2))
    bench_page(a.build, a.runs)
    bench_load(a.build, a.images, a.runs)
    bench_exports(a.build, a.images, a.runs, a.quick)
    widths = [max(len(r[i]) for r in rows + [("what", "ours", "target", "vs fastest peer", "peers", "size", "RSS")])
              for i in range(7)]
    header = ("what", "ours", "target", "vs fastest peer", "peers", "size", "RSS")
    for r in [header] + rows:
        print(" | ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())


if __name__ == "__main__":
    main()
