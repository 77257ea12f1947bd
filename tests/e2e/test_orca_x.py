#!/usr/bin/python3
"""The whole task as a blind user does it: the Orca screen reader running
over the real program on the accessibility bus, on a private X server under
a window manager, everything done with the keyboard (XTEST). What Orca
speaks is read from its debug output, its speech going to a server that
makes no sound. Checks that Orca speaks the chosen scanner, every combo box
with its value on the focus and on a change, the end of the preview, the
picture with its size as the viewer opens, the save dialog on its file
name, and no control without a name. Run under dbus-run-session. Where Orca
is missing or does not start, says why and skips (exit 77).
    test_orca_x.py <build dir> <SANE configuration folder>"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import pyatspi

sys.path.insert(0, os.path.dirname(__file__))
import atspi  # noqa: E402
import xdrive  # noqa: E402
from atspi import find, wait  # noqa: E402

build, sane = sys.argv[1], sys.argv[2]
SKIP = 77
failures = []
SPOKEN = re.compile(r"SPEECH OUTPUT: '(.*?)'(?: voice=\w+)? ?\[?\{", re.S)
SIZE = re.compile(r"(\d+) × (\d+) pixels")
# What Orca says of an object with nothing but its role.
BARE_ROLES = {"filler.", "panel.", "push button.", "combo box.", "image.", "scroll pane.", "check box.",
              "spin button.", "text.", "list.", "section.", "unknown."}


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def skip(why):
    print("SKIP " + why, flush=True)
    sys.exit(SKIP)


class Orca:
    """Orca on the X server, with its own settings: speech on, through the
    silent server, no key echo."""

    def __init__(self, xs, folder):
        self.log = os.path.join(folder, "orca-debug.out")
        prefs = os.path.join(folder, "orca")
        os.mkdir(prefs)
        general = {"enableSpeech": True, "speechServerFactory": "orca_silent_speech", "enableKeyEcho": False,
                   "enableEchoByCharacter": False, "enableEchoByWord": False, "enableTutorialMessages": False}
        with open(os.path.join(prefs, "user-settings.conf"), "w") as f:
            json.dump({"general": general, "pronunciations": {}, "keybindings": {},
                       "profiles": {"default": {"profile": ["Default", "default"], "pronunciations": {},
                                                "keybindings": {}}}}, f)
        self.record = os.path.join(folder, "spoken.txt")
        env = dict(os.environ, DISPLAY=xs.name, PYTHONPATH=os.path.dirname(os.path.abspath(__file__)),
                   ORVANE_ORCA_SPOKEN=self.record)
        env.pop("QT_QPA_PLATFORM", None)
        self.out = open(os.path.join(folder, "orca.out"), "w")
        self.proc = subprocess.Popen(["orca", "--debug-file=" + self.log, "-u", prefs], env=env,
                                     stdout=self.out, stderr=subprocess.STDOUT)
        self.mark = 0  # the first line not yet looked at by heard()

    def spoken(self):
        """Every line spoken so far, as the speech server was given them."""
        try:
            with open(self.record, encoding="utf-8") as f:
                text = f.read()
        except FileNotFoundError:
            return []
        return text.split("\n")[:-1]  # the last line may be half written

    def debug_lines(self):
        """The lines Orca's own debug output says it spoke."""
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return SPOKEN.findall(f.read())

    def heard(self, pattern, what, timeout=30.0):
        """Waits until a line said after the last one matched matches
        `pattern`; gives the line and moves past it."""
        rx = re.compile(pattern)

        def hit():
            lines = self.spoken()
            for i in range(self.mark, len(lines)):
                if rx.search(lines[i]):
                    self.mark = i + 1
                    return lines[i]
            return None
        try:
            return wait(hit, what, timeout)
        except TimeoutError:
            check(False, "Orca says %s; it said %r" % (what, self.spoken()[self.mark:][-12:]))
            return None

    def since(self, start):
        return self.spoken()[start:]

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()


def said(line, what):
    check(line is not None, "%s: %r" % (what, line))


if not shutil.which("orca"):
    skip("the Orca screen reader is not installed (Debian package orca)")
try:
    import orca.speechserver  # noqa: F401
except ImportError:
    skip("Orca's Python modules are not importable")

folder = tempfile.mkdtemp(prefix="orvane-orca-")
temp = tempfile.mkdtemp(prefix="orvane-temp-")
xs = xdrive.XServer()
wm = xdrive.start_openbox(xs)
orca = proc = base = None
try:
    orca = Orca(xs, folder)
    try:
        wait(lambda: "Screen reader on." in orca.spoken() or orca.proc.poll() is not None, "Orca", 90)
    except TimeoutError:
        pass
    if "Screen reader on." not in orca.spoken():
        with open(os.path.join(folder, "orca.out")) as f:
            why = f.read()[-400:]
        orca.close()
        xdrive.end_session(xs, wm, None, (folder, temp))
        skip("Orca did not start on this machine: %r" % why)

    base, env = atspi.program_env({"SANE_CONFIG_DIR": sane, "TEMP": temp})
    proc = xdrive.start(xs, os.path.join(build, "app"), env)
    app = atspi.application(proc.pid)
    said(orca.heard(r"^Orvane Capture Desk frame", "the main window"), "the main window opens")

    # Select Scanner, by its access key: the chosen scanner is named.
    xs.key("s", ("Alt_L",))
    said(orca.heard(r"^Select Source dialog", "the source dialog"), "the source dialog")
    scanner = orca.heard(r"\(virtual device\)", "the chosen scanner")
    said(scanner, "opening, the scanner list names the chosen scanner")
    xs.key("Return")
    orca.heard(r"^Orvane Capture Desk frame", "the main window again")

    # Scan Image: each combo box with its value, as it takes the focus and
    # as the value changes (Down, then Up back to the value it had).
    xs.key("i", ("Alt_L",))
    orca.heard(r"^Scanner dialog", "the scan dialog", 120)

    def dialog():
        return atspi.top_level(app, pyatspi.ROLE_DIALOG, "Scanner")
    wait(lambda: atspi.focused(app) is not None and atspi.focused(app).getRole() == pyatspi.ROLE_COMBO_BOX,
         "the first combo box focused")
    for label in ("Source:", "Mode:", "Resolution:"):
        combo = wait(lambda: atspi.focused(app), "the focus")
        check(atspi.labels_of(combo) == [label], "the focus is on the combo box %r (%r)"
              % (label, atspi.labels_of(combo)))
        value = atspi.text_of(combo)
        start = len(orca.spoken())
        orca.heard(r"^%s combo box" % re.escape(label), "the combo box %r" % label)
        said(orca.heard(r"^%s" % re.escape(value), "%r with its value %r" % (label, value)),
             "%s read with its value %r on the focus" % (label, value))
        xs.key("Down")
        changed = wait(lambda: atspi.text_of(atspi.fresh(combo)) != value and atspi.text_of(combo), "a new value")
        said(orca.heard(r"^%s" % re.escape(changed), "the new value %r" % changed),
             "%s read with its new value %r" % (label, changed))
        xs.key("Up")
        wait(lambda: atspi.text_of(atspi.fresh(combo)) == value, "the value back")
        said(orca.heard(r"^%s" % re.escape(value), "the value %r again" % value),
             "%s read with its value %r again" % (label, value))
        bare = [t for t in orca.since(start) if t in BARE_ROLES]
        check(not bare, "nothing read as a bare role around %s: %r" % (label, bare))
        xs.key("Tab")
        wait(lambda: atspi.focused(app) is not None and atspi.focused(app).getRole() != combo.getRole()
             or atspi.labels_of(atspi.focused(app)) != [label], "the focus moving on")

    # Every control of the dialog, all options shown, has a name as Orca
    # hears it: Tab all the way round.
    start = len(orca.spoken())
    toggle = wait(lambda: find(dialog(), pyatspi.ROLE_CHECK_BOX, "All options"), "All options")
    if not atspi.state(toggle, pyatspi.STATE_CHECKED):
        atspi.press(toggle, "Toggle")
    wait(lambda: find(dialog(), pyatspi.ROLE_CHECK_BOX, "Show advanced options"), "the options shown")
    first = atspi.focused(app)
    names = []
    for _ in range(120):
        xs.key("Tab")
        time.sleep(0.15)
        now = atspi.focused(app)
        if now is None:
            continue
        names.append((now.getRoleName(), now.name))
        if now.getRole() == first.getRole() and now.name == first.name and len(names) > 3:
            break
    wait(lambda: len(orca.spoken()) > start, "Orca reading the fields")
    time.sleep(1)
    bare = [t for t in orca.since(start) if t in BARE_ROLES]
    check(not bare, "Tab through the whole dialog: no control read as a bare role: %r" % bare)
    unnamed = [n for n in names if not n[1].strip()]
    check(not unnamed and len(names) > 10, "Tab reaches %d controls, none without a name: %r"
          % (len(names), unnamed))

    # The preview, and its end.
    size = wait(lambda: [o.name for o in atspi.find_all(dialog(), pyatspi.ROLE_LABEL) if SIZE.match(o.name)],
                "the picture size")[0]
    width, height = SIZE.match(size).groups()
    xs.key("p", ("Alt_L",))
    said(orca.heard(r"Preview done", "the end of the preview", 120), "the end of the preview")

    # The scan, and the viewer: the picture with its size is what is heard.
    xs.key("s", ("Alt_L",))
    picture = orca.heard(r"^Scanned picture, %s × %s pixels" % (width, height), "the scanned picture", 180)
    said(picture, "the viewer opens on the picture and its size (the dialog said %s × %s)" % (width, height))

    # Save As JPG, by its access key: the dialog opens on the file name.
    xs.key("j", ("Alt_L",))
    orca.heard(r"^Save Image dialog", "the save dialog")
    said(orca.heard(r"^File name: text", "the file name field"), "the save dialog starts on the file name")
    path = os.path.join(folder, "page.jpg")
    for ch in path:  # at a typist's pace: Orca hears each key before the program does
        xs.type(ch)
        time.sleep(0.03)
    wait(lambda: atspi.focused(app) is not None and atspi.text_of(atspi.focused(app)) == path, "the path typed")
    xs.key("Return")
    said(orca.heard(r"Done\.", "the completion message", 120), "the completion message")
    check(os.path.isfile(path), "the JPEG was written")
    xs.key("Return")
    xs.key("b", ("Alt_L",))
    said(orca.heard(r"^Orvane Capture Desk frame", "the main window after < Back"), "< Back by its access key")
except Exception as e:  # noqa: BLE001
    check(False, "session: %r" % e)
finally:
    if orca:
        orca.close()
        if failures:
            print("Orca said:\n  " + "\n  ".join(orca.spoken()[-60:]))
            with open(orca.log, encoding="utf-8", errors="replace") as f:
                print("The end of its debug output:\n" + f.read()[-6000:])
        # Its debug output, complete once it has ended, says the same.
        logged = [" ".join(t.split()) for t in orca.debug_lines()]
        missing = [t for t in orca.spoken() if t not in logged]
        check(not missing, "Orca's debug output holds every line spoken %r" % missing[:5])
    xdrive.end_session(xs, wm, proc, (folder, temp, base), show_output=bool(failures))

print("%d failed" % len(failures))
sys.exit(1 if failures else 0)
