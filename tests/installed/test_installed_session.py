#!/usr/bin/python3
"""The program installed the way a package installs it, used by an ordinary
user. As root, the build is installed into a root-owned prefix laid out like
the Debian package (<prefix>/lib/orvane-capture-desk, <prefix>/bin, ...).
Then, as "nobody" with a home, a runtime folder and a temporary folder of
its own, the whole session of tests/e2e/test_session_x.py runs against the
installed launcher with the installed virtual scanner: select, scan, save
all four formats into the user's folder, each file decoded again. Then:
the application folder is exactly as installed, and the user's private
scan folders hold nothing.
Exits 77 (skipped) with the reason where root, setpriv or Xvfb is missing."""
import argparse
import grp
import hashlib
import os
import pwd
import shutil
import stat
import subprocess
import sys
import tempfile

SKIP = 77

parser = argparse.ArgumentParser()
parser.add_argument("--build", required=True)
parser.add_argument("--appdir", required=True, help="application folder, relative to the prefix")
parser.add_argument("--bindir", required=True)
parser.add_argument("--pkgdatadir", required=True)
parser.add_argument("--session", required=True, help="the session driver, test_session_x.py")
args = parser.parse_args()

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def skip(why):
    print("SKIP: " + why, flush=True)
    sys.exit(SKIP)


if os.geteuid() != 0:
    skip("not running as root, so no root-owned prefix and no unprivileged user can be set up")
for tool in ("setpriv", "Xvfb"):
    if not shutil.which(tool):
        skip("%s is not installed" % tool)
try:
    user = pwd.getpwnam("nobody")
except KeyError:
    skip("there is no user 'nobody'")
try:
    group = grp.getgrnam("nogroup").gr_gid
except KeyError:
    group = user.pw_gid


def snapshot(folder):
    """Every entry below the folder with its type, mode, owner, size, time and content."""
    seen = {}
    for top, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(top, name)
            st = os.lstat(path)
            digest = None
            if stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
            seen[os.path.relpath(path, folder)] = (stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode),
                                                  st.st_uid, st.st_gid, st.st_size, st.st_mtime_ns, digest)
    return seen


def as_user(command, env, timeout):
    return subprocess.run(["setpriv", "--reuid=%d" % user.pw_uid, "--regid=%d" % group, "--clear-groups"]
                          + command, env=env, timeout=timeout,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def make_private(path):
    os.makedirs(path, mode=0o700)
    os.chown(path, user.pw_uid, group)
    os.chmod(path, 0o700)


os.umask(0o022)
root = tempfile.mkdtemp(prefix="orvane-installed-")
try:
    os.chmod(root, 0o755)
    prefix = os.path.join(root, "usr")
    env = dict(os.environ, DESTDIR="")
    done = subprocess.run(["cmake", "--install", args.build, "--prefix", prefix], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if done.returncode != 0:
        print(done.stdout)
        check(False, "cmake --install into %s" % prefix)
        raise SystemExit

    app = os.path.join(prefix, args.appdir)
    launcher = os.path.join(prefix, args.bindir, "orvane-capture-desk")
    sane = os.path.join(prefix, args.pkgdatadir, "sane.d")
    check(sorted(os.listdir(app)) == ["EZTW32.dll", "HAND-M.CUR", "eztw32-devices", "eztw32-driver",
                                      "orvane-capture-desk"],
          "the application folder holds the program, EZTW32.dll with its device search helper and driver host, "
          "and HAND-M.CUR: %r" % sorted(os.listdir(app)))
    check(os.path.realpath(launcher) == os.path.realpath(os.path.join(app, "orvane-capture-desk")),
          "the launcher leads to the program")
    check(os.path.isfile(os.path.join(sane, "test.conf")) and os.path.isdir(os.path.join(sane, "dll.d")),
          "the virtual scanner's SANE configuration is installed in %s" % sane)

    # The user's own folders, as a desktop session gives them.
    home = os.path.join(root, "home")
    runtime = os.path.join(root, "run")
    make_private(home)
    make_private(runtime)
    make_private(os.path.join(home, "tmp"))
    user_env = {k: v for k, v in os.environ.items()
                if not k.startswith("XDG_") and k not in ("DISPLAY", "XAUTHORITY", "TMPDIR", "TEMP")}
    user_env.update(HOME=home, USER=user.pw_name, LOGNAME=user.pw_name, XDG_RUNTIME_DIR=runtime,
                    TMPDIR=os.path.join(home, "tmp"), PYTHONDONTWRITEBYTECODE="1",
                    PATH=os.path.dirname(launcher) + ":" + os.environ.get("PATH", "/usr/bin:/bin"))

    probe = as_user(["sh", "-c", 'test -w "$1" && echo writable || echo read-only', "sh", app], user_env, 30)
    check(probe.stdout.strip() == "read-only", "the application folder is not writable for %s" % user.pw_name)

    # The session driver starts <build>/app/orvane-capture-desk: here the
    # installed launcher, as the desktop entry starts it.
    view = os.path.join(root, "view")
    os.mkdir(view)
    os.symlink(os.path.dirname(launcher), os.path.join(view, "app"))

    before = snapshot(app)
    # Only the installed configuration, so that no scanner of this machine
    # is offered beside the virtual one.
    session = as_user(["/usr/bin/python3", args.session, view, sane], user_env, 380)
    print(session.stdout, flush=True)
    check(session.returncode == 0, "the session as %s with the installed program" % user.pw_name)
    check(snapshot(app) == before, "the application folder is unchanged")

    # XDG_RUNTIME_DIR is set and usable, so the scan went there.
    check(os.path.isdir(os.path.join(runtime, "orvane-capture-desk")),
          "the scan went through the user's own folder in XDG_RUNTIME_DIR")
    for private in (os.path.join(runtime, "orvane-capture-desk"),
                    os.path.join(home, ".cache", "orvane-capture-desk")):
        if os.path.lexists(private):
            st = os.lstat(private)
            check(stat.S_ISDIR(st.st_mode) and st.st_uid == user.pw_uid and stat.S_IMODE(st.st_mode) == 0o700,
                  "%s is the user's own folder (mode %o)" % (private, stat.S_IMODE(st.st_mode)))
            check(os.listdir(private) == [] if stat.S_ISDIR(st.st_mode) else False,
                  "nothing left in %s" % private)
    left = [os.path.join(top, f) for top, _, files in os.walk(home) for f in files
            if f in ("VBScanInterface.bmp", "nconvert.exe", "tempscan.bmp")]
    check(left == [], "no scan or converter file left in the user's home: %r" % left)
except subprocess.TimeoutExpired as e:
    check(False, "timed out: %s" % e)
except SystemExit:
    pass
finally:
    shutil.rmtree(root, ignore_errors=True)

print("%d failed" % len(failures))
sys.exit(1 if failures else 0)
