"""The program as a screen reader sees it, through the real AT-SPI bus.
Run the test under dbus-run-session: the private session bus starts the
accessibility bus and its registry on demand. Needs Debian's at-spi2-core,
dbus and python3-pyatspi."""
import os
import tempfile
import time

import pyatspi

APP_NAME = "Orvane Capture Desk"

# Roles of the controls a user reaches and works: each needs a name of its own.
CONTROL_ROLES = {
    pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_TOGGLE_BUTTON, pyatspi.ROLE_CHECK_BOX, pyatspi.ROLE_RADIO_BUTTON,
    pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_SPIN_BUTTON, pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY,
    pyatspi.ROLE_PASSWORD_TEXT, pyatspi.ROLE_SCROLL_BAR, pyatspi.ROLE_SLIDER, pyatspi.ROLE_LIST,
    pyatspi.ROLE_IMAGE,
}


def program_env(extra=None):
    """The environment of one program run: its own configuration and runtime
    folders (0700), accessibility on from the start."""
    base = tempfile.mkdtemp(prefix="orvane-a11y-")
    config = os.path.join(base, "config")
    runtime = os.path.join(base, "runtime")
    os.mkdir(config, 0o700)
    os.mkdir(runtime, 0o700)
    env = {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1", "XDG_CONFIG_HOME": config, "XDG_RUNTIME_DIR": runtime,
           "LC_ALL": "C"}
    env.update(extra or {})
    return base, env


def wait(condition, what, timeout=60.0):
    """Polls `condition` until it gives something true; that is returned."""
    end = time.time() + timeout
    last_error = None
    while time.time() < end:
        try:
            result = condition()
            if result:
                return result
        except Exception as e:  # noqa: BLE001 - objects come and go while a window changes
            last_error = e
        time.sleep(0.05)
    raise TimeoutError("%s never happened%s" % (what, " (%s)" % last_error if last_error else ""))


def poll(condition, timeout):
    """Like wait(), but gives None when the time is up."""
    try:
        return wait(condition, "", timeout)
    except TimeoutError:
        return None


def application(pid, timeout=60.0):
    """The program's accessible application, once it has registered."""
    def find():
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.get_process_id() == pid:
                return app
        return None
    return wait(find, "the program's registration on the accessibility bus", timeout)


def state(obj, which):
    return obj.getState().contains(which)


def walk(obj, depth=0):
    """Every object below `obj`, depth first, with its depth."""
    yield obj, depth
    for i in range(obj.childCount):
        child = obj.getChildAtIndex(i)
        if child is not None:
            yield from walk(child, depth + 1)


def fresh(obj):
    """Forgets what the bus client cached of `obj` and everything below it,
    so that the next reads ask the program."""
    try:
        obj.clear_cache()
    except Exception:  # noqa: BLE001
        pass
    return obj


def find_all(root, role=None, name=None, showing=True):
    fresh(root)
    hits = []
    for obj, _ in walk(root):
        if role is not None and obj.getRole() != role:
            continue
        if name is not None and obj.name != name:
            continue
        if showing and not state(obj, pyatspi.STATE_SHOWING):
            continue
        hits.append(obj)
    return hits


def find(root, role=None, name=None, showing=True):
    hits = find_all(root, role, name, showing)
    return hits[0] if hits else None


def top_level(app, role, name):
    """A showing window of the program with this role and name."""
    fresh(app)
    for i in range(app.childCount):
        w = app.getChildAtIndex(i)
        if w is not None and w.getRole() == role and w.name == name and state(w, pyatspi.STATE_SHOWING):
            return w
    return None


def wait_window(app, role, name, timeout=60.0, gone=False):
    if gone:
        return wait(lambda: top_level(app, role, name) is None, "%r closing" % name, timeout)
    return wait(lambda: top_level(app, role, name), "window %r" % name, timeout)


def press(obj, action="Press"):
    """Runs an object's action by name, as a screen reader's command does."""
    a = obj.queryAction()
    for i in range(a.nActions):
        if a.getName(i) == action:
            a.doAction(i)
            return
    raise AssertionError("%r has no action %r" % (obj.name, action))


def cut_off(root):
    """The showing controls and labels below `root` that reach beyond any of
    the objects that hold them across (up and down they may scroll): one
    text for each."""
    fresh(root)
    cut = []

    def extents(obj):
        e = obj.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        return e.x, e.y, e.x + e.width, e.y + e.height

    window = extents(root)

    def visit(obj, left, right):
        if not state(obj, pyatspi.STATE_SHOWING):
            return
        x0, y0, x1, y1 = extents(obj)
        if x1 <= x0 or y1 <= y0:
            return
        role = obj.getRole()
        if (role in CONTROL_ROLES or role == pyatspi.ROLE_LABEL) and (x0 < left or x1 > right):
            cut.append("%s %r at %d..%d across, within %d..%d" % (obj.getRoleName(), obj.name, x0, x1, left, right))
        if role == pyatspi.ROLE_COMBO_BOX:
            return  # its list is a window of its own
        for i in range(obj.childCount):
            child = obj.getChildAtIndex(i)
            if child is not None:
                visit(child, max(left, x0), min(right, x1))

    visit(root, window[0], window[2])
    return cut


def labels_of(obj):
    """The texts of the labels linked to `obj` (labelled-by relations)."""
    names = []
    for rel in obj.getRelationSet():
        if rel.getRelationType() == pyatspi.RELATION_LABELLED_BY:
            for i in range(rel.getNTargets()):
                target = rel.getTarget(i)
                if target is not None and target.getRole() == pyatspi.ROLE_LABEL:
                    names.append(target.name)
    return names


def inside_combo_box(obj):
    parent = obj.parent
    while parent is not None:
        if parent.getRole() == pyatspi.ROLE_COMBO_BOX:
            return True
        parent = parent.parent
    return False


def unnamed_controls(window):
    """The controls a user reaches in `window` that have no name of their
    own. A combo box's name is its value on this platform; it is named by
    its label instead. The closed list of a combo box is not reachable."""
    bad = []
    for obj, _ in walk(window):
        if obj.getRole() not in CONTROL_ROLES or not state(obj, pyatspi.STATE_SHOWING):
            continue
        if inside_combo_box(obj):
            continue
        if obj.getRole() == pyatspi.ROLE_SCROLL_BAR and not state(obj, pyatspi.STATE_FOCUSABLE):
            continue  # a scroll area's own bars: the wheel and the keys of the area move them
        if obj.getRole() == pyatspi.ROLE_COMBO_BOX:
            if not [t for t in labels_of(obj) if t.strip()]:
                bad.append("combo box %r without a label" % obj.name)
        elif not obj.name.strip():
            bad.append("%s without a name" % obj.getRoleName())
    return bad


def focused(app):
    """The object that has the keyboard focus, as the screen reader hears it."""
    fresh(app)
    for i in range(app.childCount):
        w = app.getChildAtIndex(i)
        if w is None or not state(w, pyatspi.STATE_ACTIVE):
            continue
        for obj, _ in walk(w):
            if state(obj, pyatspi.STATE_FOCUSED) and obj.getRole() != w.getRole():
                return obj
    return None


class Events:
    """Events a screen reader hears, recorded from when this is made (before
    the program starts) to when collect() has seen enough of them."""

    def __init__(self, *kinds):
        self.kinds = kinds
        self.heard = []
        pyatspi.Registry.registerEventListener(self._hear, *kinds)

    def _hear(self, event):
        source = event.source
        try:
            self.heard.append((event.type, source.getRoleName() if source else None, source.name if source else None))
        except Exception:  # noqa: BLE001
            self.heard.append((event.type, None, None))

    def collect(self, enough, timeout=60.0, settle=1.0):
        """Listens until enough(heard) is true, then `settle` seconds more."""
        from gi.repository import GLib
        end = [time.time() + timeout]

        def tick():
            if end[0] - time.time() > settle and enough(self.heard):
                end[0] = time.time() + settle
            if time.time() >= end[0]:
                pyatspi.Registry.stop()
                return False
            return True
        GLib.timeout_add(50, tick)
        pyatspi.Registry.start()
        pyatspi.Registry.deregisterEventListener(self._hear, *self.kinds)
        return self.heard


def text_of(obj):
    t = obj.queryText()
    return t.getText(0, t.characterCount)


def set_text(obj, text):
    obj.queryEditableText().setTextContents(text)
