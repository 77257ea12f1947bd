#!/bin/sh
# Deterministic generator of the clean A4 pages of the converter benchmark, at
# 300 dpi (2480x3508), as BMP files the way the program hands them over:
#   text-color-300.bmp   a printed page drawn with fonts in colour (24-bit)
#   text-gray-300.bmp    the same page in gray (8-bit gray palette)
#   text-lineart-300.bmp the same page as line art (1-bit, thresholded)
#   chart-300.bmp        a flat-colour bar and pie chart (24-bit)
# and pages with few colours, each stored as 24-bit colour:
#   marks-300.bmp        black text with a few colour marks (rules, grid,
#                        margin marks): about 250 colours
#   chart-flat-300.bmp   the chart with its labels drawn without smoothing
#                        (13 colours)
#   gray-rgb-300.bmp     the gray page
#   two-colour-300.bmp   the line-art page in dark blue on white
#   pattern-300.bmp      the virtual scanner's colour pattern (24-bit), as
#                        SANE's test backend scans it; pattern-600.bmp the
#                        same at 600 dpi (4960x7015)
# Needs (Debian 12): python3-pil python3-numpy fonts-dejavu-core sane-utils
# Usage: make-page-images.sh [OUTDIR]   (default: ./bench-images)
# Fixed seeds; output is byte-identical for the same package versions.
set -eu
OUT=${1:-./bench-images}
HERE=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$OUT"
/usr/bin/python3 - "$OUT" <<'PY'
import sys, random
from PIL import Image, ImageDraw, ImageFont

out = sys.argv[1]
FONT = "/usr/share/fonts/truetype/dejavu/"
W, H, DPI = 2480, 3508, 300

WORDS = ("the of and to in is for on that with as by this from at are be or an "
         "scanner image resolution document page colour quality driver device "
         "setting option value memory buffer file format compression output "
         "system interface program window dialog button paper feeder flatbed "
         "brightness contrast threshold selection preview acquire transfer "
         "bitmap pixel line width height inch millimetre standard version").split()

def pt(p):
    return max(1, round(p * DPI / 72))

def make_text(seed, marks=False):
    """A clean printed page: white paper, black body text, coloured headings,
    a shaded table and a coloured rule; anti-aliased glyphs, no noise. With
    marks, all text is near-black and the colour is in marks drawn without
    smoothing: the rules, the table's grid, bars and boxes in the margin."""
    rnd = random.Random(seed)
    page = Image.new("RGB", (W, H), (255, 255, 255))
    d = ImageDraw.Draw(page)
    body = ImageFont.truetype(FONT + "DejaVuSerif.ttf", pt(11))
    head = ImageFont.truetype(FONT + "DejaVuSans-Bold.ttf", pt(16))
    mono = ImageFont.truetype(FONT + "DejaVuSansMono.ttf", pt(9))
    left, right = DPI, W - DPI
    y = DPI
    lh = pt(13.5)
    navy, red, ink = (20, 50, 140), (180, 30, 40), (0, 0, 0)
    if marks:
        ink = (14, 14, 14)  # a printer's near-black
    marker = [(30, 140, 60), (230, 120, 20), (120, 40, 160), (240, 200, 40)]

    def heading(text):
        nonlocal y
        d.text((left, y), text, font=head, fill=ink if marks else navy)
        y += pt(22)
        d.line((left, y, right, y), fill=red, width=pt(1))
        y += pt(8)

    def para(nlines, font, colour):
        nonlocal y
        if marks and rnd.random() < 0.5:
            d.rectangle((left - pt(14), y, left - pt(10), y + nlines * lh), fill=rnd.choice(marker))
        if marks and rnd.random() < 0.3:
            d.rectangle((right + pt(6), y + pt(2), right + pt(14), y + pt(10)), outline=navy, width=3)
        for i in range(nlines):
            line = ""
            while True:
                cand = (line + " " + rnd.choice(WORDS)).strip()
                if d.textlength(cand, font=font) > right - left:
                    break
                line = cand
            if i == nlines - 1:
                line = " ".join(line.split()[: max(3, len(line.split()) // 2)]) + "."
            d.text((left, y), line, font=font, fill=colour)
            y += lh
        y += lh // 2

    heading("Section %d. Scanner Acquisition Report" % rnd.randint(1, 9))
    for _ in range(3):
        para(rnd.randint(5, 8), body, ink)
    rows, cols = 8, 4
    tw, rh = right - left, pt(16)
    if not marks:
        d.rectangle((left, y, right, y + rh), fill=(220, 228, 245))
    for r in range(rows + 1):
        d.line((left, y + r * rh, right, y + r * rh), fill=navy, width=2)
    for c in range(cols + 1):
        x = left + c * tw // cols
        d.line((x, y, x, y + rows * rh), fill=navy, width=2)
    for r in range(rows):
        for c in range(cols):
            t = "%s %d" % (rnd.choice(WORDS), rnd.randint(0, 9999)) if r else "Column %d" % (c + 1)
            d.text((left + c * tw // cols + pt(4), y + r * rh + pt(3)), t, font=body,
                   fill=navy if r == 0 and not marks else ink)
    y += rows * rh + lh
    n = 0
    while y < H - DPI - 10 * lh:
        if n % 3 == 2:
            heading("%d.%d %s" % (rnd.randint(1, 9), n, rnd.choice(WORDS).capitalize()))
        code = rnd.random() < 0.15
        para(rnd.randint(4, 7), mono if code else body, (90, 20, 110) if code and not marks else ink)
        n += 1
    d.text((W // 2 - pt(10), H - DPI // 2 - pt(10)), "- %d -" % rnd.randint(1, 99), font=body, fill=ink)
    return page

def make_chart(seed, smooth=True):
    """A flat-colour chart: bars, a pie, a legend and axis labels."""
    rnd = random.Random(seed)
    page = Image.new("RGB", (W, H), (255, 255, 255))
    d = ImageDraw.Draw(page)
    if not smooth:
        d.fontmode = "1"
    label = ImageFont.truetype(FONT + "DejaVuSans.ttf", pt(10))
    title = ImageFont.truetype(FONT + "DejaVuSans-Bold.ttf", pt(18))
    colours = [(31, 119, 180), (255, 127, 14), (44, 160, 44), (214, 39, 40),
               (148, 103, 189), (140, 86, 75), (227, 119, 194), (127, 127, 127)]
    d.text((DPI, DPI // 2), "Pages scanned per quarter", font=title, fill=(0, 0, 0))
    x0, y0, x1, y1 = DPI, DPI + pt(40), W - DPI, H // 2
    d.rectangle((x0, y0, x1, y1), fill=(245, 245, 245))
    for k in range(6):
        yy = y1 - k * (y1 - y0) // 6
        d.line((x0, yy, x1, yy), fill=(200, 200, 200), width=2)
        d.text((x0 - pt(30), yy - pt(6)), str(k * 200), font=label, fill=(0, 0, 0))
    groups, per = 8, 4
    gw = (x1 - x0) // groups
    for g in range(groups):
        for b in range(per):
            h = rnd.randint((y1 - y0) // 8, (y1 - y0) * 9 // 10)
            bx = x0 + g * gw + pt(6) + b * (gw - pt(12)) // per
            d.rectangle((bx, y1 - h, bx + (gw - pt(12)) // per - 4, y1), fill=colours[b])
        d.text((x0 + g * gw + gw // 3, y1 + pt(6)), "Q%d" % (g % 4 + 1), font=label, fill=(0, 0, 0))
    cx, cy, r = W // 3, H * 3 // 4, W // 4
    start = 0.0
    shares = [rnd.randint(5, 30) for _ in colours]
    for share, colour in zip(shares, colours):
        end = start + 360.0 * share / sum(shares)
        d.pieslice((cx - r, cy - r, cx + r, cy + r), start, end, fill=colour, outline=(255, 255, 255), width=6)
        start = end
    for k, colour in enumerate(colours):
        ly = H // 2 + pt(80) + k * pt(28)
        d.rectangle((W * 2 // 3, ly, W * 2 // 3 + pt(16), ly + pt(16)), fill=colour)
        d.text((W * 2 // 3 + pt(24), ly), "device %d: %d%%" % (k + 1, 100 * shares[k] // sum(shares)),
               font=label, fill=(0, 0, 0))
    return page

text = make_text(3000)
text.save("%s/text-color-300.bmp" % out, "BMP", dpi=(DPI, DPI))
gray = text.convert("L")
gray.save("%s/text-gray-300.bmp" % out, "BMP", dpi=(DPI, DPI))
gray.point(lambda v: 255 if v >= 160 else 0).convert("1", dither=Image.Dither.NONE) \
    .save("%s/text-lineart-300.bmp" % out, "BMP", dpi=(DPI, DPI))
make_chart(4000).save("%s/chart-300.bmp" % out, "BMP", dpi=(DPI, DPI))
make_text(3000, marks=True).save("%s/marks-300.bmp" % out, "BMP", dpi=(DPI, DPI))
make_chart(4000, smooth=False).save("%s/chart-flat-300.bmp" % out, "BMP", dpi=(DPI, DPI))
gray.convert("RGB").save("%s/gray-rgb-300.bmp" % out, "BMP", dpi=(DPI, DPI))
line = gray.point(lambda v: 255 if v >= 160 else 0)
Image.merge("RGB", [line.point(lambda v: 255 if v else c) for c in (20, 50, 140)]) \
    .save("%s/two-colour-300.bmp" % out, "BMP", dpi=(DPI, DPI))
PY
# The virtual scanner's own colour pattern, A4 at 300 and 600 dpi, from SANE's
# test backend with the configuration the program carries.
for dpi in 300 600; do
    SANE_CONFIG_DIR="$HERE/eztw32/sane.d" scanimage -d test --mode Color --depth 8 --resolution $dpi \
        --test-picture 'Color pattern' -x 210 -y 297 --format=pnm > "$OUT/pattern-$dpi.pnm"
    /usr/bin/python3 -c "import sys; from PIL import Image; Image.open(sys.argv[1]).save(sys.argv[2], 'BMP', dpi=(int(sys.argv[3]),) * 2)" \
        "$OUT/pattern-$dpi.pnm" "$OUT/pattern-$dpi.bmp" $dpi
    rm -f "$OUT/pattern-$dpi.pnm"
done
cd "$OUT" && sha256sum text-color-300.bmp text-gray-300.bmp text-lineart-300.bmp chart-300.bmp marks-300.bmp \
    chart-flat-300.bmp gray-rgb-300.bmp two-colour-300.bmp pattern-300.bmp pattern-600.bmp
