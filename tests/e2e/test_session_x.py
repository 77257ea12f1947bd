#!/usr/bin/python3
"""A whole session with the real program from build/app/ on a private X
server, as a user would have it: "Select Scanner" and "Scan Image" with the
virtual scanner, scrolling the viewer, saving all four formats through the
real save dialog, then closing the viewer. Every file is checked with an
independent decoder (Pillow).
    test_session_x.py <build dir> <SANE configuration folder>"""
import os
import shutil
import sys
import tempfile
import time

from PIL import Image

sys.path.insert(0, os.path.dirname(__file__))
import xdrive  # noqa: E402

build, sane = sys.argv[1], sys.argv[2]
app = os.path.join(build, "app")
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def window_sized(xs, title, size, timeout=60):
    end = time.time() + timeout
    while time.time() < end:
        for t, w in xs.windows():
            if t == title and xs.geometry(w)[2:] == size:
                return w
        time.sleep(0.05)
    raise TimeoutError("no %r window of %r; visible: %r" % (title, size, xs.titles()))


def viewport(xs, w):
    raw = w.get_image(8, 112, 504, 502, 2, 0xFFFFFFFF)  # ZPixmap
    return raw.data


out = tempfile.mkdtemp(prefix="orvane-session-")
temp = tempfile.mkdtemp(prefix="orvane-temp-")
xs = xdrive.XServer()
scan_file = os.path.join(app, "VBScanInterface.bmp")
proc = xdrive.start(xs, app, {"SANE_CONFIG_DIR": sane, "TEMP": temp, "LC_ALL": "C"})
try:
    main = window_sized(xs, "Orvane Capture Desk", (536, 110))
    xdrive.click_until(xs, main, 268, 55, "Select Source")   # "Select Scanner"
    xdrive.press_until_gone(xs, "Select Source")  # the only device, chosen
    xdrive.click_until(xs, main, 268, 89, "Scanner")  # "Scan Image"
    dialog = xdrive.scan_dialog(xs)
    xs.focus(dialog)
    xs.key("Return")                              # "Scan"
    viewer = window_sized(xs, "Orvane Capture Desk", (536, 639), 240)  # after the scan
    check(not [w for t, w in xs.windows() if t == "Orvane Capture Desk" and xs.geometry(w)[2:] == (536, 110)],
          "the main window is hidden while the viewer shows")
    check(not os.path.exists(scan_file), "the scan file is gone")

    before = xdrive.settled(lambda: viewport(xs, viewer))
    moved, end = None, time.time() + 120
    while moved is None and time.time() < end:  # clicks again only if nothing moved long after
        for _ in range(5):
            xs.click(viewer, 8 + 504 - 6, 614 + 8)    # the right arrow of the horizontal bar
            xs.click(viewer, 512 + 8, 112 + 519 - 30)  # the vertical bar's trough, low down
        try:
            moved = xdrive.settled(lambda: viewport(xs, viewer), before, timeout=10)
        except TimeoutError:
            pass
    check(moved is not None and moved != before, "scrolling moves the picture")

    buttons = {"jpg": (136, 55), "bmp": (400, 55), "tiff": (136, 89), "png": (400, 89)}
    for fmt, (x, y) in buttons.items():
        path = os.path.join(out, "page one." + fmt)
        dialog = xdrive.click_until(xs, viewer, x, y, "Save Image")
        xs.focus(dialog)
        xs.type(path)
        xdrive.press_until_gone(xs, "Save Image")
        xs.wait_for("Orvane Capture", timeout=120)
        xdrive.press_until_gone(xs, "Orvane Capture")  # "Done."
        check(os.path.isfile(path), "%s written at the chosen path" % fmt)

    pictures = {fmt: Image.open(os.path.join(out, "page one." + fmt)) for fmt in buttons}
    kinds = {fmt: p.format for fmt, p in pictures.items()}
    check(kinds == {"jpg": "JPEG", "bmp": "BMP", "tiff": "TIFF", "png": "PNG"}, "formats %r" % kinds)
    sizes = {p.size for p in pictures.values()}
    check(len(sizes) == 1, "every file has the scan's size %r" % sizes)
    reference = pictures["bmp"].convert("RGB").tobytes()
    check(pictures["png"].convert("RGB").tobytes() == reference, "PNG pixel-identical to BMP")
    check(pictures["tiff"].convert("RGB").tobytes() == reference, "TIFF pixel-identical to BMP")
    check(pictures["jpg"].info.get("dpi") is not None, "JPEG carries the scan's resolution")

    code = xdrive.close_and_wait(xs, viewer, proc)
    check(code == 0, "closing the viewer ends the program at once (exit %r)" % code)
    check(os.listdir(temp) == [], "nothing left in the temporary folder %r" % os.listdir(temp))
    check(not os.path.exists(scan_file), "nothing left in the application folder")
    check(sorted(os.listdir(out)) == sorted("page one." + f for f in buttons), "only the four files were written")
except Exception as e:  # noqa: BLE001
    check(False, "session: %s" % e)
finally:
    if proc.poll() is None:
        proc.kill()
        proc.wait()
    xs.close()
    shutil.rmtree(out, ignore_errors=True)
    shutil.rmtree(temp, ignore_errors=True)

print("%d passed, %d failed" % (0 if failures else 1, len(failures)))
sys.exit(1 if failures else 0)
