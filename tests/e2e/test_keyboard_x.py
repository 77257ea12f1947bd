#!/usr/bin/python3
"""The whole task with the keyboard alone (XTEST key presses, no mouse), on a
private X server under a window manager: select the scanner, open the scan
dialog, preview, set the area with its four fields, scan, scroll the picture,
save it in each of the four formats through the real save dialog, go back
and quit. Where the focus is, is read from the accessibility bus, as a
screen reader user hears it; every control the focus passes shows that it
has it (it looks different once the focus has moved on). Run under
dbus-run-session; with ORVANE_SHOTS naming a folder, a control found
without a focus mark is saved there as a picture.
    test_keyboard_x.py <build dir> <SANE configuration folder>"""
import os
import subprocess
import sys
import tempfile

import pyatspi
from PIL import Image
from Xlib import X

sys.path.insert(0, os.path.dirname(__file__))
import atspi  # noqa: E402
import xdrive  # noqa: E402
from atspi import find, wait  # noqa: E402

build, sane = sys.argv[1], sys.argv[2]
failures = []
TITLE = "Orvane Capture Desk"
seen = set()
marked = set()


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def region(obj):
    e = obj.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return e.x, e.y, e.width, e.height


def grab(xs, area):
    x, y, w, h = area
    sw, sh = xs.d.screen().width_in_pixels, xs.d.screen().height_in_pixels
    x0, y0 = max(0, x - 2), max(0, y - 2)
    x1, y1 = min(sw, x + w + 2), min(sh, y + h + 2)
    if x1 <= x0 or y1 <= y0:
        return b""
    return xs.root.get_image(x0, y0, x1 - x0, y1 - y0, X.ZPixmap, 0xFFFFFFFF).data


def steady_grab(xs, area):
    """The area once it has been drawn: two grabs in a row the same."""
    last = [grab(xs, area)]

    def same():
        now = grab(xs, area)
        if now == last[0]:
            return now
        last[0] = now
        return None
    return atspi.poll(same, 2) or last[0]


def focus_now(app, previous=None):
    """The focused object once the focus has moved on from `previous`."""
    def moved():
        f = atspi.focused(app)
        if f is None:
            return None
        if previous is not None and (f.name, f.getRole(), region(f)) == previous:
            return None
        return f
    return wait(moved, "the focus moving on", 10)


def key_and_check_marked(xs, app, key, modifiers=()):
    """Presses `key` to move the focus on; the control it leaves must have
    looked focused: it looks different once the focus has left."""
    here = atspi.focused(app)
    if here is None:
        xs.key(key, modifiers)
        return focus_now(app)
    where = region(here)
    identity = (here.name, here.getRole(), where)
    if here.getRole() == pyatspi.ROLE_IMAGE:
        # The viewer's picture, told as the focus while the unseen text box
        # holds it: no control of its own to mark.
        xs.key(key, modifiers)
        return focus_now(app, identity)
    before = steady_grab(xs, where)
    xs.key(key, modifiers)
    now = focus_now(app, identity)
    after = atspi.poll(lambda: grab(xs, where) != before, 2) if before else None
    what = "%s %r" % (here.getRoleName(), here.name)
    seen.add(what)
    if after:
        marked.add(what)
    elif os.environ.get("ORVANE_SHOTS"):
        x, y, w, h = where
        Image.frombytes("RGBX", (w + 4, h + 4), before, "raw", "BGRX").convert("RGB").save(
            os.path.join(os.environ["ORVANE_SHOTS"], "%s.png" % here.name.replace("/", "_")))
    return now


def tab_to(xs, app, name, role=None, limit=40):
    """Tab until the named control has the focus."""
    f = atspi.focused(app)
    for _ in range(limit):
        if f is not None and f.name == name and (role is None or f.getRole() == role):
            return f
        f = key_and_check_marked(xs, app, "Tab")
    raise AssertionError("Tab never reached %r" % name)


def active_window(app):
    def find_active():
        for i in range(atspi.fresh(app).childCount):
            w = app.getChildAtIndex(i)
            if w is not None and atspi.state(w, pyatspi.STATE_ACTIVE):
                return w
        return None
    return wait(find_active, "an active window")


def wait_active(app, role, name, extra=None, timeout=60):
    def hit():
        w = active_window(app)
        if w.getRole() == role and w.name == name and (extra is None or extra(w)):
            return w
        return None
    return wait(hit, "%r active" % name, timeout)


def is_viewer(w):
    return find(w, pyatspi.ROLE_PUSH_BUTTON, "Save As JPG") is not None


def value(obj):
    return atspi.fresh(obj).queryValue().currentValue


temp = tempfile.mkdtemp(prefix="orvane-temp-")
out = tempfile.mkdtemp(prefix="orvane-keys-out-")
xs = xdrive.XServer()
env = dict(os.environ, DISPLAY=xs.name)
env.pop("QT_QPA_PLATFORM", None)
wm = subprocess.Popen(["openbox", "--sm-disable"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
proc = None
base = None
try:
    wait(lambda: xs.root.get_full_property(xs.d.intern_atom("_NET_SUPPORTING_WM_CHECK"), 0), "openbox", 20)
    base, env = atspi.program_env({"SANE_CONFIG_DIR": sane, "TEMP": temp})
    proc = xdrive.start(xs, os.path.join(build, "app"), env)
    app = atspi.application(proc.pid)
    wait_active(app, pyatspi.ROLE_FRAME, TITLE)

    # Select Scanner: the list has the only scanner chosen, Enter selects.
    tab_to(xs, app, "Select Scanner")
    xs.key("space")
    wait_active(app, pyatspi.ROLE_DIALOG, "Select Source")
    wait(lambda: atspi.focused(app) is not None and atspi.focused(app).getRole() in
         (pyatspi.ROLE_LIST, pyatspi.ROLE_LIST_ITEM), "the list focused")
    wait(lambda: find(active_window(app), pyatspi.ROLE_LIST_ITEM), "the search's result")
    xs.key("Return")
    wait_active(app, pyatspi.ROLE_FRAME, TITLE)

    # Scan Image, then a preview and the area typed into its four fields.
    tab_to(xs, app, "Scan Image")
    xs.key("space")
    wait_active(app, pyatspi.ROLE_DIALOG, "Scanner")

    def scanner():
        # Looked up again at each use: the window's accessible object may be
        # made anew while it is shown.
        return atspi.top_level(app, pyatspi.ROLE_DIALOG, "Scanner")

    def pane():
        return find(scanner(), pyatspi.ROLE_FILLER, "Preview of the bed and the scan area")
    empty = wait(lambda: grab(xs, region(pane())), "the preview")
    tab_to(xs, app, "Preview", pyatspi.ROLE_PUSH_BUTTON)
    xs.key("space")
    wait(lambda: grab(xs, region(pane())) != empty, "the preview drawn", 120)
    wait(lambda: atspi.state(find(scanner(), pyatspi.ROLE_PUSH_BUTTON, "Preview"),
                             pyatspi.STATE_ENABLED), "the preview ended", 120)
    area = {"Area left edge, in millimetres": 10, "Area top edge, in millimetres": 20,
            "Area width, in millimetres": 100, "Area height, in millimetres": 150}
    for name, mm in area.items():
        field = tab_to(xs, app, name, pyatspi.ROLE_SPIN_BUTTON)
        xs.key("a", ("Control_L",))
        xs.type(str(mm))
        key_and_check_marked(xs, app, "Tab")
        check(wait(lambda: abs(value(field) - mm) < 0.05 or None, "%s taken" % name, 10) is True,
              "%s typed: %r" % (name, value(field)))
    # The size once the scanner has reported it for the typed area.
    expected = wait(lambda: [o.name for o in atspi.find_all(scanner(), pyatspi.ROLE_LABEL)
                             if o.name.endswith(" MB") and " pixels" in o.name
                             and o.description == "As the scanner reports it"], "the size")[0]
    expected = expected.split(" pixels")[0]
    tab_to(xs, app, "Scan", pyatspi.ROLE_PUSH_BUTTON)
    xs.key("space")

    # The viewer: the picture has the area's size; scroll with the keys.
    viewer = wait_active(app, pyatspi.ROLE_FRAME, TITLE, is_viewer, 120)
    picture = wait(lambda: find(viewer, pyatspi.ROLE_IMAGE), "the picture")
    check(picture.name == "Scanned picture, %s pixels" % expected,
          "the scan has the typed area's size: %r, the dialog said %r" % (picture.name, expected))
    width, height = [int(v) for v in expected.split(" × ")]
    vbar = tab_to(xs, app, "Vertical scroll", pyatspi.ROLE_SCROLL_BAR)
    for _ in range(3):
        xs.key("Next")
    check(wait(lambda: value(vbar) == 3 or None, "Page Down", 10) is True,
          "Page Down three times moves the vertical bar to 3 (%r)" % value(vbar))
    hbar = tab_to(xs, app, "Horizontal scroll", pyatspi.ROLE_SCROLL_BAR)
    if atspi.state(hbar, pyatspi.STATE_ENABLED):
        xs.key("Right")
        check(wait(lambda: value(hbar) == 1 or None, "Right", 10) is True, "Right moves the horizontal bar")

    # Save in each format through the save dialog: type the path, Enter.
    for fmt, caption in (("jpg", "Save As JPG"), ("bmp", "Save As BMP"), ("tiff", "Save As TIFF"),
                         ("png", "Save As PNG")):
        tab_to(xs, app, caption, pyatspi.ROLE_PUSH_BUTTON)
        xs.key("space")
        wait_active(app, pyatspi.ROLE_DIALOG, "Save Image")
        wait(lambda: atspi.focused(app) is not None and atspi.focused(app).getRole() == pyatspi.ROLE_TEXT,
             "the file name field focused")
        path = os.path.join(out, "page." + fmt)
        xs.type(path)
        wait(lambda: atspi.text_of(atspi.focused(app)) == path, "the path typed")
        xs.key("Return")
        done = wait_active(app, pyatspi.ROLE_ALERT, "Orvane Capture", timeout=120)
        check(find(done, pyatspi.ROLE_LABEL, "Done.") is not None, "%s: the completion message" % fmt)

        def off_centre():
            (bx, by, bw, bh), (vx, vy, vw, vh) = region(atspi.fresh(done)), region(atspi.fresh(viewer))
            return max(abs(bx + bw / 2.0 - vx - vw / 2.0), abs(by + bh / 2.0 - vy - vh / 2.0))
        check(atspi.poll(lambda: off_centre() <= 3, 10) is True,
              "%s: the completion message is centred over the viewer (%.0f px off)" % (fmt, off_centre()))
        xs.key("Return")
        wait_active(app, pyatspi.ROLE_FRAME, TITLE, is_viewer)
        with Image.open(path) as img:
            check(img.size == (width, height), "%s written and decoded, %r" % (fmt, img.size))

    # Back to the main window, and quit with the window manager's close key.
    tab_to(xs, app, "< Back", pyatspi.ROLE_PUSH_BUTTON)
    xs.key("space")
    wait_active(app, pyatspi.ROLE_FRAME, TITLE, lambda w: not is_viewer(w))
    xs.key("F4", ("Alt_L",))
    try:
        code = proc.wait(10)
    except subprocess.TimeoutExpired:
        code = None
    check(code == 0, "Alt+F4 closes the main window and ends the program (exit %r)" % code)
    check(seen == marked, "every control the focus passed showed it (unmarked: %r)" % sorted(seen - marked))
    check(sorted(os.listdir(out)) == ["page.bmp", "page.jpg", "page.png", "page.tiff"],
          "the four files %r" % sorted(os.listdir(out)))
except Exception as e:  # noqa: BLE001
    check(False, "session: %r" % e)
finally:
    xdrive.end_session(xs, wm, proc, (temp, out, base))

print("%d failed" % len(failures))
sys.exit(1 if failures else 0)
