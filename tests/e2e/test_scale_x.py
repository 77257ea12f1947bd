#!/usr/bin/python3
"""Every window on the screen at each scale (QT_SCALE_FACTOR, as on a 4K
screen at 200 %), under a real window manager (openbox) on a 1280x1024
private X server, driven with XTEST clicks and keys: the source dialog, the
scan dialog and the save dialog lie within the screen with their frames;
the viewer is centred where it fits, and where it is taller than the
screen its title bar and buttons are on screen; "Done." after a PNG and a
JPG save sits centred over the viewer. On an accessibility bus (run under
dbus-run-session), no control or label of the scan dialog reaches beyond
what holds it, with "All options" closed and open, and Tab round the
settings never moves them sideways.
    test_scale_x.py <build dir> <SANE configuration folder> [scale]"""
import os
import sys
import tempfile
import time
import traceback

from PIL import Image

sys.path.insert(0, os.path.dirname(__file__))
import xdrive  # noqa: E402

try:
    import pyatspi
    import atspi  # noqa: E402
    a11y = bool(os.environ.get("DBUS_SESSION_BUS_ADDRESS"))
except ImportError:
    a11y = False

build, sane = sys.argv[1], sys.argv[2]
scale = float(sys.argv[3]) if len(sys.argv) > 3 else 2.0
failures = []
TITLE = "Orvane Capture Desk"


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def px(logical):
    """A length of the program's own (96 dpi) pixels on this screen."""
    return int(round(logical * scale))


def scan_dialog_whole(proc, xs, dialog):
    """Nothing of the scan dialog cut off, "All options" closed and open; Tab
    round its settings leaves them where they are across."""
    app = atspi.application(proc.pid)

    def scanner():
        return atspi.top_level(app, pyatspi.ROLE_DIALOG, "Scanner")

    def toggle():
        return atspi.find(scanner(), pyatspi.ROLE_CHECK_BOX, "All options")

    for shown in (False, True):
        if atspi.state(atspi.wait(toggle, "All options"), pyatspi.STATE_CHECKED) != shown:
            atspi.press(toggle(), "Toggle")
        if shown:
            atspi.wait(lambda: atspi.find(scanner(), pyatspi.ROLE_PANEL, "Scan Mode"), "the options shown")
        whole = atspi.poll(lambda: not atspi.cut_off(scanner()), 10)
        cut = [] if whole else atspi.cut_off(scanner())
        check(not cut, "All options %s: no control of the scan dialog is cut off %r"
              % ("open" if shown else "closed", cut))

    def label_x():
        return atspi.find(scanner(), pyatspi.ROLE_LABEL, "Source:").queryComponent().getExtents(
            pyatspi.DESKTOP_COORDS).x
    before = label_x()
    xs.focus(dialog)
    moved = []
    for _ in range(14):
        xs.key("Tab")
        if label_x() != before:
            moved.append(label_x())
    check(not moved, "Tab round the settings leaves them in place across (%r, then %r)" % (before, moved))


def wait_until(condition, what, timeout=120.0):
    end = time.time() + timeout
    while time.time() < end:
        try:
            found = condition()
            if found:
                return found
        except Exception:  # noqa: BLE001 - windows come and go
            pass
        time.sleep(0.05)
    raise TimeoutError("%s never came" % what)


def on_screen(name, frame, screen):
    x, y, w, h = frame
    check(x >= 0 and y >= 0 and x + w <= screen[0] and y + h <= screen[1],
          "%s lies on the %dx%d screen with its frame (%d,%d %dx%d)" % (name, screen[0], screen[1], x, y, w, h))


temp = tempfile.mkdtemp(prefix="orvane-temp-")
out = tempfile.mkdtemp(prefix="orvane-scale-out-")
base = tempfile.mkdtemp(prefix="orvane-scale-")
config, runtime = os.path.join(base, "config"), os.path.join(base, "runtime")
os.mkdir(config, 0o700)
os.mkdir(runtime, 0o700)
xs = xdrive.XServer()
wm = xdrive.start_openbox(xs)
proc = None
try:
    screen = (xs.d.screen().width_in_pixels, xs.d.screen().height_in_pixels)
    env = {"SANE_CONFIG_DIR": sane, "TEMP": temp, "LC_ALL": "C", "XDG_CONFIG_HOME": config,
           "XDG_RUNTIME_DIR": runtime, "QT_SCALE_FACTOR": str(scale)}
    if a11y:
        env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
    proc = xdrive.start(xs, os.path.join(build, "app"), env)
    managed = lambda: xdrive.clients(xs)  # noqa: E731
    main = xdrive.wait_client(xs, TITLE, (px(536), px(110)), timeout=120)
    xdrive.settled_frame(xs, main)

    # Select Scanner: the source dialog, then Enter selects the one scanner.
    source = xdrive.click_until(xs, main, px(268), px(55), "Select Source", windows=managed)
    on_screen("the source dialog", xdrive.settled_frame(xs, source), screen)
    xdrive.press_until_gone(xs, "Select Source", windows=managed)

    # Scan Image: the scan dialog, its buttons inside it; Enter scans.
    xdrive.click_until(xs, main, px(268), px(89), "Scanner", windows=managed)
    dialog = xdrive.scan_dialog(xs, windows=managed, min_height=px(300))
    on_screen("the scan dialog", xdrive.settled_frame(xs, dialog), screen)
    if a11y:
        scan_dialog_whole(proc, xs, dialog)
    xs.focus(dialog)
    xs.key("Return")

    viewer = wait_until(lambda: [w for t, w in xdrive.clients(xs)
                                      if t == TITLE and xs.geometry(w)[3] > px(200)], "the viewer")[0]
    vx, vy, vw, vh = xdrive.settled_frame(xs, viewer)
    cx, cy, cw, ch = xs.geometry(viewer)
    # Its designed size where the screen holds it, else no larger than the
    # screen; centred either way, its buttons above the picture.
    on_screen("the viewer", (vx, vy, vw, vh), screen)
    # To within a pixel of the program's, as it places it in its own pixels.
    near = px(1) + 0.5
    check(abs(vx + vw / 2.0 - screen[0] / 2.0) <= near and abs(vy + vh / 2.0 - screen[1] / 2.0) <= near,
          "the viewer is centred on the screen (frame %d,%d %dx%d)" % (vx, vy, vw, vh))
    designed = (px(536), px(639))
    if designed[1] + (vh - ch) <= screen[1]:
        check(abs(cw - designed[0]) <= 1 and abs(ch - designed[1]) <= 1, "the viewer keeps its designed size %r where it fits (%dx%d)"
              % (designed, cw, ch))
    check(cy >= 0 and cy + px((1140 + 405) / 15.0) <= screen[1], "the viewer's buttons are on screen")

    # Save as PNG and JPG through the save dialog; "Done." over the viewer.
    centre = (vx + vw / 2.0, vy + vh / 2.0)
    for fmt, (bx, by) in (("png", (400, 89)), ("jpg", (136, 55))):
        save = xdrive.click_until(xs, viewer, px(bx), px(by), "Save Image", windows=managed)
        on_screen("the save dialog (%s)" % fmt, xdrive.settled_frame(xs, save), screen)
        path = os.path.join(out, "page." + fmt)
        xs.focus(save)
        xs.type(path)
        xs.key("Return")
        done = xdrive.wait_client(xs, "Orvane Capture", timeout=120)
        x, y, w, h = xdrive.settled_frame(xs, done)
        off = max(abs(x + w / 2.0 - centre[0]), abs(y + h / 2.0 - centre[1]))
        check(off <= 3, "%s: \"Done.\" is centred over the viewer (%.0f px off, at %d,%d)" % (fmt, off, x, y))
        on_screen("\"Done.\" (%s)" % fmt, (x, y, w, h), screen)
        xdrive.press_until_gone(xs, "Orvane Capture", windows=managed)
        with Image.open(path) as img:
            check(img.size[0] > 0, "%s written and decoded, %r" % (fmt, img.size))

    code = xdrive.close_and_wait(xs, viewer, proc)
    check(code == 0, "closing the viewer ends the program (exit %r)" % code)
except Exception as e:  # noqa: BLE001
    traceback.print_exc()
    check(False, "session: %r" % e)
finally:
    xdrive.end_session(xs, wm, proc, (temp, out, base),
                       show_output=bool(failures or os.environ.get("ORVANE_VERBOSE")))

print("%d failed" % len(failures))
sys.exit(1 if failures else 0)
