#!/usr/bin/python3
"""Drawing the scan area with the mouse, as a first-time user does, under a
real window manager (openbox) on a private X server: a real click on
Preview, then a click on the preview that must leave the area as it was,
then one drag (button down, moves, button up, through xdotool) inside the
default area, which covers the whole A4 page: it draws that area, Enter
scans it, and the BMP saved from the viewer has the drawn size in pixels.
Where the controls are is read from the accessibility bus; run under
dbus-run-session.
    test_preview_drag_x.py <build dir> <SANE configuration folder>"""
import os
import subprocess
import sys
import tempfile
import traceback

import pyatspi
from PIL import Image

sys.path.insert(0, os.path.dirname(__file__))
import atspi  # noqa: E402
import xdrive  # noqa: E402
from atspi import find, wait  # noqa: E402

build, sane = sys.argv[1], sys.argv[2]
failures = []
TITLE = "Orvane Capture Desk"


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def region(obj):
    e = atspi.fresh(obj).queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return e.x, e.y, e.width, e.height


def xdotool(*args):
    subprocess.run(["xdotool"] + [str(a) for a in args], env=dict(os.environ, DISPLAY=xs.name), check=True)


def size_text(dialog):
    """What the dialog says the scan will be: "W × H"."""
    labels = [o.name for o in atspi.find_all(dialog, pyatspi.ROLE_LABEL)
              if o.name.endswith(" MB") and " pixels" in o.name]
    return labels[0].split(" pixels")[0] if labels else None


def click(obj):
    """A real click in the middle of an accessible object."""
    x, y, w, h = region(obj)
    xdotool("mousemove", x + w // 2, y + h // 2, "click", 1)


def grab(area):
    x, y, w, h = area
    return xs.root.get_image(x, y, w, h, 2, 0xFFFFFFFF).data


temp = tempfile.mkdtemp(prefix="orvane-temp-")
out = tempfile.mkdtemp(prefix="orvane-drag-out-")
xs = xdrive.XServer()
wm = xdrive.start_openbox(xs)
proc = None
base = None
try:
    base, env = atspi.program_env({"SANE_CONFIG_DIR": sane, "TEMP": temp})
    proc = xdrive.start(xs, os.path.join(build, "app"), env)
    app = atspi.application(proc.pid)
    managed = lambda: xdrive.clients(xs)  # noqa: E731
    main = xdrive.wait_client(xs, TITLE, (536, 110), timeout=120)
    xdrive.click_until(xs, main, 268, 55, "Select Source", windows=managed)  # "Select Scanner"
    xdrive.press_until_gone(xs, "Select Source", windows=managed)
    xdrive.click_until(xs, main, 268, 89, "Scanner", windows=managed)  # "Scan Image"
    atspi.wait_window(app, pyatspi.ROLE_DIALOG, "Scanner")

    def scanner():
        # Looked up again at each use: the dialog's accessible object may be
        # made anew while it is shown.
        return atspi.top_level(app, pyatspi.ROLE_DIALOG, "Scanner")

    def pane():
        return find(scanner(), pyatspi.ROLE_FILLER, "Preview of the bed and the scan area")
    wait(pane, "the preview")
    whole = wait(lambda: size_text(scanner()), "the picture size")

    # A real click on Preview; the preview is drawn and Preview is back.
    empty = wait(lambda: grab(region(pane())), "the empty preview")
    button = wait(lambda: find(scanner(), pyatspi.ROLE_PUSH_BUTTON, "Preview"), "Preview")
    bx, by, bw, bh = region(button)
    xdotool("mousemove", bx + bw // 2, by + bh // 2, "click", 1)
    wait(lambda: grab(region(pane())) != empty, "the preview drawn", 120)
    wait(lambda: atspi.state(atspi.fresh(find(scanner(), pyatspi.ROLE_PUSH_BUTTON, "Preview")),
                             pyatspi.STATE_ENABLED), "the preview ended", 120)

    # A click on the page, without a drag, keeps the area.
    px, py, pw, ph = region(pane())
    xdotool("mousemove", px + pw // 2, py + ph // 2, "click", 1)
    changed = atspi.poll(lambda: size_text(scanner()) != whole, 3)
    check(not changed and size_text(scanner()) == whole,
          "a click without a drag keeps the area (%s, was %s)" % (size_text(scanner()), whole))

    # One drag inside the page draws a new area from corner to corner.
    x0, y0 = px + pw * 30 // 100, py + ph * 25 // 100
    x1, y1 = px + pw * 70 // 100, py + ph * 60 // 100
    xdotool("mousemove", x0, y0, "mousedown", 1)
    for i in range(1, 9):
        xdotool("mousemove", x0 + (x1 - x0) * i // 8, y0 + (y1 - y0) * i // 8)
    xdotool("mouseup", 1)
    drawn = wait(lambda: size_text(scanner()) if size_text(scanner()) != whole else None, "the drawn area", 30)
    width, height = [int(v) for v in drawn.split(" × ")]
    full_w, full_h = [int(v) for v in whole.split(" × ")]
    check(width < full_w and height < full_h, "the drag drew an area inside the page (%s of %s)" % (drawn, whole))
    # The page is shown to scale, so the area has the drag's proportions.
    ratio = (width / height) / ((x1 - x0) / (y1 - y0))
    check(0.9 < ratio < 1.1, "the drawn area has the drag's proportions (%s for %dx%d px)"
          % (drawn, x1 - x0, y1 - y0))

    # Enter scans the drawn area; the viewer's BMP has its size.
    xs.focus(xdrive.wait_client(xs, "Scanner"))
    xs.key("Return")
    viewer = xdrive.wait_client(xs, TITLE, (536, 639), timeout=120)
    save = xdrive.click_until(xs, viewer, 400, 55, "Save Image", windows=managed)  # "Save As BMP"
    path = os.path.join(out, "drawn.bmp")
    xs.focus(save)
    xs.type(path)
    xs.key("Return")
    xdrive.wait_client(xs, "Orvane Capture", timeout=120)
    xdrive.press_until_gone(xs, "Orvane Capture", windows=managed)
    with Image.open(path) as img:
        check(img.size == (width, height), "Enter scanned the drawn area: the BMP is %dx%d, drawn %s"
              % (img.size + (drawn,)))

    # Back, and the scan dialog again, with the drawn area remembered. A real
    # click on "Defaults" puts the device's whole area back; Tab then goes
    # round every control and back to where it started, and Enter scans.
    click(wait(lambda: find(app, pyatspi.ROLE_PUSH_BUTTON, "< Back"), "< Back"))
    main = xdrive.wait_client(xs, TITLE, (536, 110), timeout=120)
    xdrive.click_until(xs, main, 268, 89, "Scanner", windows=managed)  # "Scan Image"
    xdrive.scan_dialog(xs, windows=managed)
    check(wait(lambda: size_text(scanner()), "the picture size") == drawn,
          "the drawn area is remembered (%s)" % size_text(scanner()))
    click(wait(lambda: find(scanner(), pyatspi.ROLE_PUSH_BUTTON, "Defaults"), "Defaults"))
    wait(lambda: size_text(scanner()) == whole and atspi.state(
        find(scanner(), pyatspi.ROLE_PUSH_BUTTON, "Defaults"), pyatspi.STATE_ENABLED), "the defaults back", 60)

    def focus():
        f = atspi.focused(app)
        return (f.getRole(), f.name) if f is not None else None
    start = wait(focus, "a control with the focus")
    passed = []
    for _ in range(120):
        before = focus()
        xs.key("Tab")
        wait(lambda: focus() is not None and focus() != before, "the focus moved on", 10)
        passed.append(focus())
        if passed[-1] == start:
            break
    names = {name for _, name in passed}
    check(passed[-1] == start and {"Preview", "Defaults", "Scan", "Cancel"} <= names,
          "Tab goes round every control of the scan dialog (%d stops) and back to %r" % (len(passed), start))
    xs.key("Return")
    viewer = xdrive.wait_client(xs, TITLE, (536, 639), timeout=240)
    picture = wait(lambda: find(app, pyatspi.ROLE_IMAGE), "the picture")
    check(picture.name == "Scanned picture, %s pixels" % whole,
          "Enter after Defaults scanned the device's whole area (%r, expected %s)" % (picture.name, whole))

    code = xdrive.close_and_wait(xs, viewer, proc)
    check(code == 0, "closing the viewer ends the program (exit %r)" % code)
except Exception as e:  # noqa: BLE001
    traceback.print_exc()
    check(False, "session: %r" % e)
finally:
    xdrive.end_session(xs, wm, proc, (temp, out, base), show_output=failures)

print("%d failed" % len(failures))
sys.exit(1 if failures else 0)
