#!/usr/bin/env python3
# Types real keys into zembrel.exe's dialog under Wine and prints what each one does.
"""What real keys, typed through X with xdotool, do to zembrel.exe's dialog under Wine.

Not a pass/fail suite: it prints what it sees, for docs/wine-keys.md. Run it inside
with-wine.sh, like run_suite.py:

    tests/wine/with-wine.sh python3 tests/wine/real_keys.py \
        --zembrel build/mingw-x64/zembrel.exe --helpers build/mingw-x64/tests/wine
"""

import argparse
import os
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_suite as suite  # noqa: E402

KEYS = ["alt+x", "alt+F4", "Escape", "Return", "space", "alt"]


def xdotool(*args):
    return subprocess.run(["xdotool"] + list(args), capture_output=True, text=True, timeout=30)


def dialog_still_open(session):
    return session.windriver_run("find", 0).code == 0


def probe(session, exe, key, unattended):
    session.prepare_device(exe, "388", timeout=30)
    process = session.start_zembrel("-SNMP" if unattended else "")
    suite.find_dialog(session)
    window = xdotool("search", "--sync", "--name", suite.DIALOG_TITLE).stdout.split()
    # No window manager: give the dialog X's input focus directly.
    if window:
        xdotool("windowfocus", "--sync", window[0])
    time.sleep(0.3)
    before = suite.control_text(session, suite.IDC_TIMEOUT_VALUE) if unattended else ""
    xdotool("key", key)
    time.sleep(2.5)
    if dialog_still_open(session):
        after = suite.control_text(session, suite.IDC_TIMEOUT_VALUE) if unattended else ""
        if unattended:
            state = "stays open, countdown " + ("frozen" if after == before else f"runs on ({before} -> {after})")
        else:
            state = "stays open"
        session.windriver_run("post", "command", 2)
        if session.windriver_run("wait-closed", 3).code != 0:
            # The key left the dialog in a modal loop of its own (the system menu's).
            state += ", then ignores a posted command 2"
            xdotool("key", "Escape")
            time.sleep(0.5)
            xdotool("key", "Escape")
            session.windriver_run("post", "command", 2)
            if session.windriver_run("wait-closed", 3).code != 0:
                state += ", and typed Esc Esc plus command 2 too (ended by the run's time limit)"
                process.wait(60)
                return state, "-"
        suite.finish(process)
        closed_by_key = False
    else:
        run = suite.finish(process)
        state = f"closes (exit {run.exit_code})"
        closed_by_key = True
    code = session.status_code()
    written = f"ZembrelCode {code}" if code is not None else "no ZembrelCode"
    return state, written if closed_by_key else "-"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--zembrel", required=True)
    parser.add_argument("--helpers", required=True)
    parser.add_argument("--wine", default=os.environ.get("ZEMBREL_WINE", "wine"))
    options = parser.parse_args()
    if not os.environ.get("DISPLAY") or not os.environ.get("WINEPREFIX"):
        print("SKIP: run under tests/wine/with-wine.sh")
        return 77
    if not shutil.which("xdotool"):
        print("SKIP: xdotool not installed")
        return 77
    # A dialog that a key leaves stuck is ended by windriver after this long.
    suite.RUN_LIMIT_S = 15
    session = suite.WineSession(options.wine, os.path.abspath(options.helpers), None)
    exe = os.path.abspath(options.zembrel)
    print(f"{suite.pe_machine(exe)}: key | attended | unattended (ZembrelTimeOut 30)")
    try:
        for key in KEYS:
            attended = probe(session, exe, key, False)
            unattended = probe(session, exe, key, True)
            print(f"{key} | {attended[0]} | {unattended[0]}; {unattended[1]}", flush=True)
    finally:
        session.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
