"""Drives the real program on a private X server (Xvfb), as a user would:
finds windows by their title, types, clicks, and closes windows through the
window's close box (WM_DELETE_WINDOW). Needs Debian's xvfb and python3-xlib."""
import os
import shutil
import subprocess
import tempfile
import time

from Xlib import X, XK, display, error, protocol
from Xlib.ext import xtest


class XServer:
    def __init__(self):
        r, w = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(r, 16)
            if not chunk:
                raise RuntimeError("Xvfb did not start")
            number += chunk
        os.close(r)
        self.name = ":" + number.decode().strip()
        self.d = display.Display(self.name)
        self.root = self.d.screen().root

    def close(self):
        self.d.close()
        self.proc.terminate()
        self.proc.wait(10)

    # Windows -----------------------------------------------------------
    def _title(self, w):
        try:
            name = w.get_full_property(self.d.intern_atom("_NET_WM_NAME"),
                                       self.d.intern_atom("UTF8_STRING"))
            if name:
                return name.value.decode("utf-8", "replace")
            return w.get_wm_name() or ""
        except Exception:
            return ""

    def windows(self):
        """Visible top-level windows as (title, window)."""
        found = []
        for w in self.root.query_tree().children:
            try:
                if w.get_attributes().map_state == X.IsViewable:
                    found.append((self._title(w), w))
            except Exception:
                pass
        return found

    def titles(self):
        return [t for t, _ in self.windows()]

    def wait_for(self, title, timeout=30.0, gone=False):
        end = time.time() + timeout
        while time.time() < end:
            hit = [w for t, w in self.windows() if t == title]
            if gone and not hit:
                return None
            if hit and not gone:
                return hit[0]
            time.sleep(0.05)
        raise TimeoutError("window %r %s; visible: %r" % (title, "still there" if gone else "never came",
                                                          self.titles()))

    def geometry(self, w):
        g = w.get_geometry()
        pos = w.translate_coords(self.root, 0, 0)
        return (-pos.x, -pos.y, g.width, g.height)

    def holds_focus(self, w):
        """Whether the keyboard focus is on w or inside it."""
        f = self.d.get_input_focus().focus
        while isinstance(f, type(w)) and f.id not in (0, self.root.id):
            if f.id == w.id:
                return True
            try:
                f = f.query_tree().parent
            except Exception:
                return False
        return False

    # Input ---------------------------------------------------------------
    def focus(self, w, timeout=30.0):
        """Gives w the keyboard focus and returns once the server has it
        there; keys sent after that reach w, in order."""
        end = time.time() + timeout
        while True:
            w.set_input_focus(X.RevertToParent, X.CurrentTime)
            self.d.sync()
            if self.holds_focus(w):
                return
            if time.time() > end:
                raise TimeoutError("window %r does not take the focus" % self._title(w))
            time.sleep(0.05)

    def key(self, name, modifiers=()):
        codes = [self.d.keysym_to_keycode(XK.string_to_keysym(m)) for m in modifiers]
        code = self.d.keysym_to_keycode(XK.string_to_keysym(name))
        for c in codes:
            xtest.fake_input(self.d, X.KeyPress, c)
        xtest.fake_input(self.d, X.KeyPress, code)
        xtest.fake_input(self.d, X.KeyRelease, code)
        for c in reversed(codes):
            xtest.fake_input(self.d, X.KeyRelease, c)
        self.d.sync()

    def type(self, text):
        special = {"/": "slash", ".": "period", " ": "space", "-": "minus", "_": "underscore"}
        for ch in text:
            if ch in special:
                name = special[ch]
                self.key(name, ("Shift_L",) if ch == "_" else ())
            elif ch.isupper():
                self.key(ch, ("Shift_L",))
            else:
                self.key(ch)

    def click(self, w, x, y, button=1):
        left, top, _, _ = self.geometry(w)
        xtest.fake_input(self.d, X.MotionNotify, x=left + x, y=top + y)
        xtest.fake_input(self.d, X.ButtonPress, button)
        xtest.fake_input(self.d, X.ButtonRelease, button)
        self.d.sync()

    def move(self, w, x, y):
        left, top, _, _ = self.geometry(w)
        xtest.fake_input(self.d, X.MotionNotify, x=left + x, y=top + y)
        self.d.sync()

    def close_window(self, w):
        """The close box: WM_DELETE_WINDOW, as a window manager sends it."""
        proto = self.d.intern_atom("WM_PROTOCOLS")
        delete = self.d.intern_atom("WM_DELETE_WINDOW")
        ev = protocol.event.ClientMessage(window=w, client_type=proto,
                                          data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        w.send_event(ev)
        self.d.sync()


def press_until_gone(xs, title, key="Return", timeout=120.0, windows=None):
    """Presses key in the window of that title until it closes: once, and
    again only if the window is still open long after the press (a key
    that came before the window could take it)."""
    windows = windows or xs.windows
    end = time.time() + timeout
    while time.time() < end:
        hits = [w for t, w in windows() if t == title]
        if not hits:
            return
        try:
            xs.focus(hits[0])
            xs.key(key)
        except (error.BadWindow, error.BadMatch):
            continue  # closed, or unmapped, while it was being looked at
        again = min(end, time.time() + 10)
        while time.time() < again and [w for t, w in windows() if t == title]:
            time.sleep(0.05)
    raise TimeoutError("%r did not close" % title)


def click_until(xs, w, x, y, title, timeout=120.0, windows=None):
    """Clicks at x, y in w until a window of that title shows: again only if
    none has come long after the click (a click that came while the last
    dialog was still closing finds the window not yet taking input)."""
    windows = windows or xs.windows
    end = time.time() + timeout
    while time.time() < end:
        xs.click(w, x, y)
        again = min(end, time.time() + 10)
        while time.time() < again:
            hits = [v for t, v in windows() if t == title]
            if hits:
                return hits[0]
            time.sleep(0.05)
    raise TimeoutError("no %r after clicks; visible: %r" % (title, [t for t, _ in windows()]))


def scan_dialog(xs, timeout=120.0, windows=None, min_height=300):
    """The scan dialog once it shows. The box "Connecting to the scanner…"
    that may come before it carries the same title, "Scanner", and would
    take the key meant for the dialog; it is much lower."""
    windows = windows or xs.windows
    end = time.time() + timeout
    while time.time() < end:
        for t, w in windows():
            try:
                if t == "Scanner" and w.get_geometry().height >= min_height:
                    return w
            except Exception:  # noqa: BLE001 - gone while looked at
                pass
        time.sleep(0.05)
    raise TimeoutError("no scan dialog; visible: %r" % [t for t, _ in windows()])


def settled(grab, previous=None, timeout=60.0):
    """What grab() shows once it differs from `previous` (when given) and
    two looks in a row agree."""
    end = time.time() + timeout
    last = grab()
    while previous is not None and last == previous:
        if time.time() > end:
            raise TimeoutError("the picture did not change")
        time.sleep(0.05)
        last = grab()
    while time.time() < end:
        time.sleep(0.1)
        now = grab()
        if now == last:
            return now
        last = now
    raise TimeoutError("the picture did not settle")


def program_folder(build, library=None, extra=()):
    """A fresh application folder holding the built program and, when given,
    a scanner library as EZTW32.dll."""
    folder = tempfile.mkdtemp(prefix="orvane-app-")
    shutil.copy2(os.path.join(build, "app", "orvane-capture-desk"), folder)
    if library:
        shutil.copy2(library, os.path.join(folder, "EZTW32.dll"))
    for f in extra:
        shutil.copy2(f, folder)
    return folder


def fake_launcher_dir():
    """A folder with an xdg-open that only records, so no browser starts."""
    folder = tempfile.mkdtemp(prefix="orvane-bin-")
    path = os.path.join(folder, "xdg-open")
    with open(path, "w") as f:
        f.write('#!/bin/sh\necho "$@" >> "%s/opened"\n' % folder)
    os.chmod(path, 0o755)
    return folder


def start(xs, folder, env_extra=None):
    env = dict(os.environ)
    env.pop("QT_QPA_PLATFORM", None)
    env["DISPLAY"] = xs.name
    env["PATH"] = fake_launcher_dir() + ":" + env.get("PATH", "/usr/bin:/bin")
    env.update(env_extra or {})
    return subprocess.Popen([os.path.join(folder, "orvane-capture-desk")], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


# Under a window manager ---------------------------------------------------
def start_openbox(xs, timeout=60.0):
    """openbox on the server, returned once it manages windows."""
    env = dict(os.environ, DISPLAY=xs.name)
    env.pop("QT_QPA_PLATFORM", None)
    wm = subprocess.Popen(["openbox", "--sm-disable"], env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)
    end = time.time() + timeout
    while not xs.root.get_full_property(xs.d.intern_atom("_NET_SUPPORTING_WM_CHECK"), X.AnyPropertyType):
        if time.time() > end:
            wm.terminate()
            raise TimeoutError("openbox did not start")
        time.sleep(0.05)
    return wm


def close_and_wait(xs, window, proc, timeout=60.0):
    """Closes window through its close box; the program's exit status once
    it has ended, None when it has not within the time."""
    xs.close_window(window)
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        return None


def end_session(xs, wm, proc, folders, show_output=False):
    """Ends what a test started: the program (killed if still running; its
    output printed when asked), the window manager, the X server, and the
    test's folders."""
    if proc is not None and proc.poll() is None:
        proc.kill()
        proc.wait()
    if proc is not None and show_output:
        print(proc.stdout.read().decode("utf-8", "replace"))
    wm.terminate()
    wm.wait(10)
    xs.close()
    for d in folders:
        if d:
            shutil.rmtree(d, ignore_errors=True)


def clients(xs):
    """The window manager's mapped client windows as (title, window)."""
    prop = xs.root.get_full_property(xs.d.intern_atom("_NET_CLIENT_LIST"), X.AnyPropertyType)
    found = []
    for wid in (prop.value if prop else []):
        w = xs.d.create_resource_object("window", wid)
        try:
            if w.get_attributes().map_state == X.IsViewable:
                found.append((xs._title(w), w))
        except Exception:
            pass
    return found


def wait_client(xs, title, size=None, timeout=60.0):
    """The managed window of that title (and client size, when given, to
    within a pixel: a scaled size is rounded)."""
    end = time.time() + timeout
    while time.time() < end:
        for t, w in clients(xs):
            try:
                if t == title and (size is None or max(abs(a - b) for a, b in zip(xs.geometry(w)[2:], size)) <= 1):
                    return w
            except Exception:
                pass
        time.sleep(0.05)
    raise TimeoutError("%r never came; managed: %r" % (title, [t for t, _ in clients(xs)]))


def frame_of(xs, w):
    """The outermost ancestor below the root: the window manager's frame."""
    while True:
        parent = w.query_tree().parent
        if parent.id == xs.root.id:
            return w
        w = parent


def settled_frame(xs, w, timeout=60.0):
    """The frame's x, y, width, height on the screen (borders included)
    once the window is framed and four looks in a row, over half a second,
    agree: the program may move a window again once it knows its frame."""
    end = time.time() + timeout
    looks = []
    while time.time() < end:
        f = frame_of(xs, w)
        g = f.get_geometry()
        looks.append((f.id != w.id, g.x, g.y, g.width + 2 * g.border_width, g.height + 2 * g.border_width))
        if len(looks) >= 4 and looks[-1][0] and len(set(looks[-4:])) == 1:
            return looks[-1][1:]
        time.sleep(0.15)
    raise TimeoutError("the frame of %r did not settle: %r" % (xs._title(w), looks[-4:]))
