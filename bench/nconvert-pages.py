#!/usr/bin/python3
"""The converter nconvert.exe against ImageMagick's and Pillow's default PNG
and deflate TIFF output on every kind of page: clean text in colour, gray
and line art, a flat-colour chart, the virtual scanner's colour pattern, the
noisy document and photo pages of ../shared/bench, and pages with few
colours stored as 24-bit colour (text with colour marks in 248 colours, a
chart in 12, a gray page, a two-colour page). For each page and
format it prints our size, time and peak memory beside the peers' in the
same run, and checks:

  size   <= 1.05x the smaller peer file
  time   <= 0.5x the faster peer (medians of --runs runs, one run of the bench)
  memory <  40 MB peak resident
  and that our file decodes to exactly the colours of the BMP's pixels, with
  its DPI (the depth and colour type may be smaller than the BMP's).

    bench/nconvert-pages.py [--converter PATH] [--images DIR] [--runs N]
                            [--pages a,b,...] [--formats png,tiff] [--big]

The pages are made by bench/make-page-images.sh and
../shared/bench/make-bench-images.sh into bench-images/ when missing.
Exit status 1 when any bound is missed.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGES = ["pattern-300", "text-color-300", "chart-300", "text-gray-300", "text-lineart-300",
         "doc-300", "photo-300", "marks-300", "chart-flat-300", "gray-rgb-300", "two-colour-300"]
MADE_HERE = ["pattern-600", "text-color-300", "chart-300", "text-gray-300", "text-lineart-300",
             "marks-300", "chart-flat-300", "gray-rgb-300", "two-colour-300"]
BIG = ["pattern-600"]
SIZE_BOUND, TIME_BOUND, RSS_BOUND_MB = 1.05, 0.5, 40.0
PY = "/usr/bin/python3"
MAGICK = shutil.which("convert-im6.q16") or shutil.which("convert") or "convert"


def pillow(code):
    return [PY, "-c", "import sys; from PIL import Image; Image.MAX_IMAGE_PIXELS=None; "
            "im=Image.open(sys.argv[1]); " + code]


def tools(converter, fmt, src, dst):
    ours = [converter, "-out", fmt, "-o", dst, src]
    if fmt == "png":
        peers = {"ImageMagick": [MAGICK, src, dst],
                 "Pillow": pillow("im.save(sys.argv[2], 'PNG', dpi=im.info.get('dpi'))") + [src, dst]}
    else:
        peers = {"ImageMagick": [MAGICK, src, "-compress", "zip", dst],
                 "Pillow": pillow("im.save(sys.argv[2], 'TIFF', compression='tiff_adobe_deflate', "
                                  "dpi=im.info.get('dpi'))") + [src, dst]}
    return ours, peers


def timed(cmd, dst, runs):
    """Median wall time, peak RSS in MB (the largest), output size in bytes."""
    times, rss = [], []
    for _ in range(runs):
        if os.path.exists(dst):
            os.unlink(dst)
        r = subprocess.run(["/usr/bin/time", "-f", "%e %M"] + cmd, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True)
        if r.returncode != 0:
            raise RuntimeError("%s failed: %s" % (cmd[0], r.stderr.strip()[-300:]))
        e, m = r.stderr.strip().splitlines()[-1].split()
        times.append(float(e))
        rss.append(int(m) / 1024)
    return statistics.median(times), max(rss), os.path.getsize(dst)


def same_pixels(src, dst):
    """Whether dst decodes to the colours of src's pixels, with its DPI."""
    code = r"""
import sys
from PIL import Image
Image.MAX_IMAGE_PIXELS = None
a, b = Image.open(sys.argv[1]), Image.open(sys.argv[2])
da, db = a.info.get('dpi'), b.info.get('dpi')
ok = a.size == b.size and da and db and all(abs(float(x) - float(y)) < 0.5 for x, y in zip(da, db))
alpha = lambda im: 'A' in im.mode or 'transparency' in im.info
mode = 'RGBA' if alpha(a) or alpha(b) else 'RGB'
ok = ok and a.convert(mode).tobytes() == b.convert(mode).tobytes()
print('same' if ok else 'different: %s %s %s / %s %s %s' % (a.mode, a.size, da, b.mode, b.size, db))
"""
    r = subprocess.run([PY, "-c", code, src, dst], capture_output=True, text=True)
    return r.stdout.strip() == "same", (r.stdout + r.stderr).strip()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--converter", default=os.path.join(ROOT, "build", "nconvert", "nconvert.exe"))
    ap.add_argument("--images", default=os.path.join(ROOT, "bench-images"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--pages", default=",".join(PAGES))
    ap.add_argument("--formats", default="png,tiff")
    ap.add_argument("--big", action="store_true", help="also the virtual scanner's page at 600 dpi")
    args = ap.parse_args()
    if not os.access(args.converter, os.X_OK):
        sys.exit("no converter at %s (build the target nconvert, or pass --converter)" % args.converter)
    if not all(os.path.exists(os.path.join(args.images, p + ".bmp")) for p in MADE_HERE):
        subprocess.run(["sh", os.path.join(ROOT, "bench", "make-page-images.sh"), args.images],
                       check=True, stdout=subprocess.DEVNULL)
    if not os.path.exists(os.path.join(args.images, "doc-300.bmp")):
        subprocess.run(["sh", os.path.join(ROOT, "..", "shared", "bench", "make-bench-images.sh"),
                        args.images], check=True, stdout=subprocess.DEVNULL)

    failed = False
    print("%-17s %-4s | %-19s | %-19s | %-19s | %-11s  %s" % (
        "page", "fmt", "ours: MB s RSS", "ImageMagick: MB s", "Pillow: MB s", "size time", "verdict"))
    with tempfile.TemporaryDirectory() as tmp:
        for page in args.pages.split(",") + (BIG if args.big else []):
            src = os.path.join(args.images, page + ".bmp")
            for fmt in args.formats.split(","):
                dst = os.path.join(tmp, "out." + fmt)
                ours, peers = tools(args.converter, fmt, src, dst)
                peer = {}
                for name, cmd in peers.items():
                    peer[name] = timed(cmd, dst, args.runs)
                t, rss, size = timed(ours, dst, args.runs)
                same, why = same_pixels(src, dst)
                best_size = min(p[2] for p in peer.values())
                best_time = min(p[0] for p in peer.values())
                size_ratio = size / best_size
                time_ratio = t / best_time if best_time > 0 else 0.0
                misses = []
                if size_ratio > SIZE_BOUND:
                    misses.append("size")
                if time_ratio > TIME_BOUND:
                    misses.append("time")
                if rss >= RSS_BOUND_MB:
                    misses.append("memory")
                if not same:
                    misses.append("pixels (%s)" % why)
                failed |= bool(misses)
                cells = ["%7.3f %5.2f" % (p[2] / 1e6, p[0]) for p in peer.values()]
                print("%-17s %-4s | %7.3f %5.2f %5.1f | %-19s | %-19s | %4.2fx %4.2fx  %s" % (
                    page, fmt, size / 1e6, t, rss, cells[0], cells[1], size_ratio, time_ratio,
                    "met" if not misses else "MISSED " + ", ".join(misses)), flush=True)
    print("bounds: size <= %.2fx the smaller peer file, time <= %.1fx the faster peer, peak RSS < %.0f MB"
          % (SIZE_BOUND, TIME_BOUND, RSS_BOUND_MB))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
