#!/usr/bin/env python3
"""Runs one test program in a home of its own, so that what one run
remembers (scanner settings, the save dialog's folder, lock and runtime
files) never changes another, and nothing of the user who runs the tests is
read or changed: XDG_RUNTIME_DIR (0700), XDG_CONFIG_HOME, XDG_CACHE_HOME and
XDG_DATA_HOME point into a fresh folder, removed again when the test ends.
Run as root, it also makes a runtime folder owned by nobody, for the parts
of a test that run as that user: ORVANE_TEST_NOBODY_HOME, owned by nobody
and 0700, with its runtime folder in runtime/.

With "--shard K/N" before the command (a Qt Test program), it runs only
every Nth of the program's test functions, from the Kth on.

Qt's offscreen platform, on which the tests show their windows, warns at
every size constraint of a shown window that it cannot pass it on; those
lines say nothing about the program and are left out of the output, so that
a failure's own lines are what one reads."""
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import threading

NOISE = (b"This plugin does not support propagateSizeHints()",)


def pump(source, sink):
    for line in iter(source.readline, b""):
        if not any(n in line for n in NOISE):
            sink.write(line)
            sink.flush()


def shard(which, command, env):
    """The command with only the test functions of shard K of N ("K/N"):
    every Nth of those the program lists, from the Kth on (counted from 1).
    A long test program so runs as N tests beside each other, and a test
    function added later lands in one of them without being named here."""
    k, n = (int(x) for x in which.split("/"))
    listed = subprocess.run(command + ["-functions"], env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, check=True).stdout.decode()
    functions = [line.strip()[:-2] for line in listed.splitlines() if line.strip().endswith("()")]
    return command + functions[k - 1::n]


def main():
    top = tempfile.mkdtemp(prefix="orvane-test.")
    try:
        env = dict(os.environ)
        # SANE's test backend ends its reader thread with an asynchronous
        # pthread_cancel, at every frame's end and at every cancel. A thread
        # cancelled inside free() or while the dynamic linker binds a symbol
        # for it leaves that lock held, and the scan hangs. The preloaded
        # library makes the cancel deferred (see deferred_cancel.c); the
        # sanitizer runtime, which wants to come first, is told that this
        # library comes before it.
        preload = "@ORVANE_TEST_PRELOAD@"
        env["LD_PRELOAD"] = preload + (":" + env["LD_PRELOAD"] if env.get("LD_PRELOAD") else "")
        env["ASAN_OPTIONS"] = ":".join(filter(None, (env.get("ASAN_OPTIONS"), "verify_asan_link_order=0")))
        for var, name in (("XDG_RUNTIME_DIR", "runtime"), ("XDG_CONFIG_HOME", "config"),
                          ("XDG_CACHE_HOME", "cache"), ("XDG_DATA_HOME", "data")):
            path = os.path.join(top, name)
            os.mkdir(path, 0o700)
            env[var] = path
        if os.geteuid() == 0:
            try:
                nobody = pwd.getpwnam("nobody")
            except KeyError:
                nobody = None
            if nobody:
                os.chmod(top, 0o711)
                home = os.path.join(top, "nobody")
                for path in (home, os.path.join(home, "runtime")):
                    os.mkdir(path, 0o700)
                    os.chown(path, nobody.pw_uid, nobody.pw_gid)
                env["ORVANE_TEST_NOBODY_HOME"] = home
        command = sys.argv[1:]
        if command[0] == "--shard":
            command = shard(command[1], command[2:], env)
        child = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, lambda s, _f: child.send_signal(s))
        pumps = [threading.Thread(target=pump, args=(child.stdout, sys.stdout.buffer), daemon=True),
                 threading.Thread(target=pump, args=(child.stderr, sys.stderr.buffer), daemon=True)]
        for t in pumps:
            t.start()
        code = child.wait()
        # The output ends with the test, unless a process it started lives
        # on with the test's output: then that is said, and not waited for.
        for t in pumps:
            t.join(10)
        if any(t.is_alive() for t in pumps):
            sys.stderr.write("isolated.py: a process started by %s still holds its output\n" % sys.argv[1])
        return code if code >= 0 else 128 - code
    finally:
        shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
