#!/usr/bin/python3
"""The viewer under a real window manager (openbox) on a private X server:
both windows open centred with their frame; the keyboard reaches the
vertical bar by Tab, Page Down moves the picture by one unit of the bar,
a wheel notch over the picture by the desktop's three lines, each a unit;
screenshots of the viewport prove how far the picture moved (the scanner's
grid picture repeats only beyond those moves).
    test_viewer_wm_x.py <build dir> <SANE configuration folder>"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

from Xlib import X
from Xlib.ext import xtest

sys.path.insert(0, os.path.dirname(__file__))
import xdrive  # noqa: E402

build, sane = sys.argv[1], sys.argv[2]
app = os.path.join(build, "app")
failures = []
VIEWPORT = (8, 112, 504, 502)   # Picture2 in the viewer's client area
STEP = 10                       # the scan overflows the viewport by > 100 px both ways


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def frame_centre(xs, w, timeout=60):
    """The frame's centre once it has settled (the program re-centres after
    the frame appears)."""
    end = time.time() + timeout
    last = None
    while time.time() < end:
        f = xdrive.frame_of(xs, w)
        g = f.get_geometry()
        now = (g.x + (g.width + 2 * g.border_width) / 2.0, g.y + (g.height + 2 * g.border_width) / 2.0)
        if now == last:
            return now, f.id != w.id
        last = now
        time.sleep(0.3)
    return last, True


def viewport(w):
    x, y, width, height = VIEWPORT
    raw = w.get_image(x, y, width, height, X.ZPixmap, 0xFFFFFFFF)
    return [raw.data[r * len(raw.data) // height:(r + 1) * len(raw.data) // height] for r in range(height)]


def vertical_shift(before, after, limit=120):
    """How many rows the picture moved up between two screenshots (the rows
    of `after` are those of `before` further down)."""
    for d in range(0, limit + 1):
        if all(after[r] == before[r + d] for r in range(0, len(before) - d)):
            return d
    return None


temp = tempfile.mkdtemp(prefix="orvane-temp-")
config = tempfile.mkdtemp(prefix="orvane-config-")  # no scanner settings of earlier runs
xs = xdrive.XServer()
env = dict(os.environ, DISPLAY=xs.name)
env.pop("QT_QPA_PLATFORM", None)
wm = subprocess.Popen(["openbox", "--sm-disable"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
proc = None
try:
    end = time.time() + 60
    while not xs.root.get_full_property(xs.d.intern_atom("_NET_SUPPORTING_WM_CHECK"), X.AnyPropertyType):
        if time.time() > end:
            raise TimeoutError("openbox did not start")
        time.sleep(0.05)
    proc = xdrive.start(xs, app, {"SANE_CONFIG_DIR": sane, "TEMP": temp, "LC_ALL": "C",
                                   "XDG_CONFIG_HOME": config})
    screen = (xs.d.screen().width_in_pixels / 2.0, xs.d.screen().height_in_pixels / 2.0)

    main = xdrive.wait_client(xs, "Orvane Capture Desk", (536, 110))
    (cx, cy), framed = frame_centre(xs, main)
    check(framed, "the main window is framed by the window manager")
    check(abs(cx - screen[0]) <= 1 and abs(cy - screen[1]) <= 1,
          "the main window's frame is centred (centre %.1f,%.1f)" % (cx, cy))

    xdrive.click_until(xs, main, 268, 55, "Select Source", windows=lambda: xdrive.clients(xs))  # "Select Scanner"
    xdrive.press_until_gone(xs, "Select Source", windows=lambda: xdrive.clients(xs))
    xdrive.click_until(xs, main, 268, 89, "Scanner", windows=lambda: xdrive.clients(xs))  # "Scan Image"
    dialog = xdrive.scan_dialog(xs, windows=lambda: xdrive.clients(xs))
    xs.focus(dialog)
    xs.key("Return")
    viewer = xdrive.wait_client(xs, "Orvane Capture Desk", (536, 639), timeout=240)  # after the scan
    (cx, cy), framed = frame_centre(xs, viewer)
    check(framed and abs(cx - screen[0]) <= 1 and abs(cy - screen[1]) <= 1,
          "the viewer's frame is centred (centre %.1f,%.1f)" % (cx, cy))

    xs.focus(viewer)
    start = xdrive.settled(lambda: viewport(viewer))
    for _ in range(6):                           # Text1, five buttons, then VScroll1 (tab 8)
        xs.key("Tab")
    xs.key("Next")                               # Page Down
    paged = xdrive.settled(lambda: viewport(viewer), start)
    check(vertical_shift(start, paged) == STEP,
          "Page Down on VScroll1 moves the picture up by one unit, %d px (moved %r)"
          % (STEP, vertical_shift(start, paged)))

    x, y, width, height = VIEWPORT
    xs.move(viewer, x + width // 2, y + height // 2)
    xtest.fake_input(xs.d, X.ButtonPress, 5)     # one notch towards the user
    xtest.fake_input(xs.d, X.ButtonRelease, 5)
    xs.d.sync()
    wheeled = xdrive.settled(lambda: viewport(viewer), paged)
    check(vertical_shift(paged, wheeled) == 3 * STEP,
          "a wheel notch over the picture moves it up by three units, %d px (moved %r)"
          % (3 * STEP, vertical_shift(paged, wheeled)))
    check(vertical_shift(start, wheeled) == 4 * STEP, "in all four units from the top")


    code = xdrive.close_and_wait(xs, viewer, proc)
    check(code == 0, "closing the viewer ends the program (exit %r)" % code)
except Exception as e:  # noqa: BLE001
    check(False, "session: %s" % e)
finally:
    if proc is not None and proc.poll() is None:
        proc.kill()
        proc.wait()
    wm.terminate()
    wm.wait(10)
    xs.close()
    shutil.rmtree(temp, ignore_errors=True)
    shutil.rmtree(config, ignore_errors=True)

print("%d passed, %d failed" % (0 if failures else 1, len(failures)))
sys.exit(1 if failures else 0)
