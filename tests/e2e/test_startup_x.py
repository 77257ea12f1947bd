#!/usr/bin/python3
"""The real program started from its folder on an X server: without the
scanner library it shows the error report, then the start-up message, then
the main window; with a library that answers "available" the main window
comes directly. Closing the main window ends the program at once.
    test_startup_x.py <build dir> <available stub library>"""
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
import xdrive  # noqa: E402

build, stub = sys.argv[1], sys.argv[2]
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def run_case(library, expected_messages):
    xs = xdrive.XServer()
    folder = xdrive.program_folder(build, library)
    proc = xdrive.start(xs, folder)
    try:
        seen = []
        for title in expected_messages:
            w = xs.wait_for(title)
            check("Orvane Capture Desk" not in xs.titles(),
                  "main window not shown while %r is open" % title)
            seen.append(title)
            xs.focus(w)
            xs.key("Return")
            xs.wait_for(title, gone=True)
        main = xs.wait_for("Orvane Capture Desk")
        others = [t for t in xs.titles() if t not in ("Orvane Capture Desk", "")]
        check(not others, "no other window beside the main window (%r)" % others)
        left, top, width, height = xs.geometry(main)
        check((width, height) == (536, 110), "client area 536 x 110 (got %d x %d)" % (width, height))
        centre = (left + width // 2, top + height // 2)
        check(abs(centre[0] - 640) <= 16 and abs(centre[1] - 512) <= 40,
              "centred on the 1280 x 1024 screen (centre at %d,%d)" % centre)
        xs.close_window(main)
        start = time.time()
        try:
            code = proc.wait(60)
        except Exception:
            proc.kill()
            code = None
        check(code == 0, "closing the main window ends the program (exit %r, %.2f s)" % (code, time.time() - start))
        check(sorted(os.listdir(folder)) == sorted(["orvane-capture-desk"] + (["EZTW32.dll"] if library else [])),
              "nothing left in the application folder")
    finally:
        if proc.poll() is None:
            proc.kill()
        xs.close()
        shutil.rmtree(folder, ignore_errors=True)


print("-- without EZTW32.dll")
run_case(None, ["Application Error", "Orvane Capture"])
print("-- with a library that answers available")
run_case(stub, [])
print("%d passed, %d failed" % (0 if failures else 1, len(failures)))
sys.exit(1 if failures else 0)
