#!/usr/bin/python3
"""Times the converter nconvert.exe on the 600 dpi A4 benchmark pages, side by
side with well-known tools doing the same job where they are installed
(Pillow, vips, ImageMagick), and prints medians.

    bench/nconvert-bench.py [--converter PATH] [--images DIR] [--runs N]
                            [--peer-runs N] [--no-peers] [--big]

The pages are made by make-bench-images.sh (../shared/bench, needs
python3-pil python3-numpy mate-backgrounds fonts-dejavu-core) into
bench-images/ when missing. --big also converts a 1200 dpi page made of four
photo pages (9920 x 14032, 418 MB BMP) to show that the converter's memory
does not grow with the picture.

Targets: PNG photo page <= 1.5 s and <= 62 MB, document page <= 1.5 s and
<= 54 MB; TIFF photo page <= 1.0 s and <= 64 MB; peak memory <= 40 MB.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GENERATOR = os.path.join(ROOT, "..", "shared", "bench", "make-bench-images.sh")

TARGETS = {  # (page, format): (seconds, megabytes)
    ("photo-600", "png"): (1.5, 62),
    ("doc-600", "png"): (1.5, 54),
    ("photo-600", "tiff"): (1.0, 64),
}
RSS_TARGET_MB = 40


def timed(cmd, runs, output):
    """Median wall time and peak RSS (MB) over runs, output size (MB)."""
    times, rss = [], []
    for _ in range(runs):
        if os.path.exists(output):
            os.unlink(output)
        r = subprocess.run(["/usr/bin/time", "-f", "%e %M"] + cmd,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if r.returncode != 0:
            return None, None, None, r.stderr.strip().splitlines()[-2:]
        e, m = r.stderr.strip().splitlines()[-1].split()
        times.append(float(e))
        rss.append(int(m) / 1024)
    return statistics.median(times), max(rss), os.path.getsize(output) / 1e6, None


def pillow_cmd(fmt, src, dst):
    code = ("import sys; from PIL import Image; Image.MAX_IMAGE_PIXELS=None; "
            "im=Image.open(sys.argv[1]); ")
    if fmt == "png":
        code += "im.save(sys.argv[2], 'PNG', compress_level=1, dpi=im.info.get('dpi'))"
    else:
        code += "im.save(sys.argv[2], 'TIFF', compression='tiff_adobe_deflate')"
    return ["/usr/bin/python3", "-c", code, src, dst]


def peers(fmt, src, dst):
    out = []
    try:
        import PIL  # noqa: F401
        out.append(("Pillow level 1" if fmt == "png" else "Pillow deflate", pillow_cmd(fmt, src, dst)))
    except ImportError:
        pass
    vips = shutil.which("vips")
    if vips:
        if fmt == "png":
            out.append(("vips level 1", [vips, "pngsave", src, dst, "--compression", "1"]))
        else:
            out.append(("vips deflate+pred", [vips, "tiffsave", src, dst, "--compression",
                                              "deflate", "--predictor", "horizontal"]))
    magick = shutil.which("convert-im6.q16") or shutil.which("convert")
    if magick:
        if fmt == "png":
            out.append(("ImageMagick q1", [magick, src, "-quality", "10", dst]))
        else:
            out.append(("ImageMagick zip", [magick, src, "-compress", "zip",
                                             "-define", "tiff:predictor=2", dst]))
    return out


def make_big(images):
    path = os.path.join(images, "photo-1200.bmp")
    if os.path.exists(path):
        return path
    code = ("import sys, numpy as np; from PIL import Image; Image.MAX_IMAGE_PIXELS=None; "
            "a=np.asarray(Image.open(sys.argv[1])); b=np.concatenate([a,a[:, ::-1]],1); "
            "Image.fromarray(np.concatenate([b,b[::-1]],0)).save(sys.argv[2],'BMP',dpi=(1200,1200))")
    subprocess.run(["/usr/bin/python3", "-c", code, os.path.join(images, "photo-600.bmp"), path],
                   check=True)
    return path


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--converter", default=os.path.join(ROOT, "build", "nconvert", "nconvert.exe"))
    ap.add_argument("--images", default=os.path.join(ROOT, "bench-images"))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--peer-runs", type=int, default=3)
    ap.add_argument("--no-peers", action="store_true")
    ap.add_argument("--big", action="store_true")
    args = ap.parse_args()

    if not os.access(args.converter, os.X_OK):
        sys.exit(f"no converter at {args.converter} (build the target nconvert, or pass --converter)")
    if not os.path.exists(os.path.join(args.images, "photo-600.bmp")):
        subprocess.run(["sh", GENERATOR, args.images], check=True, stdout=subprocess.DEVNULL)

    jobs = [("photo-600", "png"), ("doc-600", "png"), ("photo-600", "tiff"), ("doc-600", "tiff")]
    if args.big:
        make_big(args.images)
        jobs += [("photo-1200", "png"), ("photo-1200", "tiff")]

    failed = False
    print(f"{'page':11} {'fmt':4} {'tool':20} {'median s':>9} {'MB':>7} {'peak RSS MB':>12}  target")
    with tempfile.TemporaryDirectory() as tmp:
        for page, fmt in jobs:
            src = os.path.join(args.images, page + ".bmp")
            dst = os.path.join(tmp, "out." + fmt)
            tools = [("nconvert", [args.converter, "-out", fmt, "-o", dst, src], args.runs)]
            if not args.no_peers and page.endswith("600"):
                tools += [(n, c, args.peer_runs) for n, c in peers(fmt, src, dst)]
            for name, cmd, runs in tools:
                t, rss, size, err = timed(cmd, runs, dst)
                if t is None:
                    print(f"{page:11} {fmt:4} {name:20} failed: {' '.join(err)}")
                    failed |= name == "nconvert"
                    continue
                verdict = ""
                if name == "nconvert":
                    ok = rss <= RSS_TARGET_MB
                    goal = TARGETS.get((page, fmt))
                    if goal:
                        ok = ok and t <= goal[0] and size <= goal[1]
                        verdict = f"<= {goal[0]} s, <= {goal[1]} MB, <= {RSS_TARGET_MB} MB RSS: "
                    else:
                        verdict = f"<= {RSS_TARGET_MB} MB RSS: "
                    verdict += "met" if ok else "MISSED"
                    failed |= not ok
                print(f"{page:11} {fmt:4} {name:20} {t:9.2f} {size:7.1f} {rss:12.1f}  {verdict}",
                      flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
