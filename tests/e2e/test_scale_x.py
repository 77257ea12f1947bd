#!/usr/bin/python3
"""Every window on the screen at each scale (QT_SCALE_FACTOR, as on a 4K
screen at 200 %), under a real window manager (openbox) on a 1280x1024
private X server, driven with XTEST clicks and keys: the source dialog, the
scan dialog and the save dialog lie within the screen with their frames;
the viewer is centred where it fits, and where it is taller than the
screen its title bar and buttons are on screen; "Done." after a PNG and a
JPG save sits centred over the viewer (which is not centred on the screen
when it is that tall).
    test_scale_x.py <build dir> <SANE configuration folder> [scale]"""
import os
import sys
import tempfile
import traceback

from PIL import Image

sys.path.insert(0, os.path.dirname(__file__))
import xdrive  # noqa: E402

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
    proc = xdrive.start(xs, os.path.join(build, "app"),
                        {"SANE_CONFIG_DIR": sane, "TEMP": temp, "LC_ALL": "C", "XDG_CONFIG_HOME": config,
                         "XDG_RUNTIME_DIR": runtime, "QT_SCALE_FACTOR": str(scale)})
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
    xs.focus(dialog)
    xs.key("Return")

    viewer = xdrive.wait_client(xs, TITLE, (px(536), px(639)), timeout=120)
    vx, vy, vw, vh = xdrive.settled_frame(xs, viewer)
    cx, cy, cw, ch = xs.geometry(viewer)
    if vh <= screen[1]:
        check(abs(vx + vw / 2.0 - screen[0] / 2.0) <= 1 and abs(vy + vh / 2.0 - screen[1] / 2.0) <= 1,
              "the viewer, which fits on the screen, is centred on it (frame %d,%d %dx%d)" % (vx, vy, vw, vh))
    else:
        check(vy == 0 and cy > vy, "the viewer, taller than the screen, has its title bar at the screen's top "
              "(frame at %d, client at %d)" % (vy, cy))
    check(vx >= 0 and vx + vw <= screen[0], "the viewer lies within the screen's width (%d..%d)" % (vx, vx + vw))
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
