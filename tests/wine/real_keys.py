#!/usr/bin/env python3
# Types real keys into zembrel.exe's dialog under Wine and checks what each one does.
"""Keys typed through the X server into zembrel.exe's dialog under Wine, case by case.

xdotool sends them with XTEST into the dialog's X window, so they arrive as a keyboard's
would: at the control with the focus (Cancel), through Wine's own input path. Run it inside
with-wine.sh, like run_suite.py:

    tests/wine/with-wine.sh python3 tests/wine/real_keys.py \\
        --zembrel build/mingw-i686/zembrel.exe --zembrel build/mingw-x64/zembrel.exe \\
        --helpers build/mingw-x64/tests/wine

Prints one line per case and closes with "N passed, N failed"; exits 0 when all pass, 1 when
any fails, 77 when there is no Wine session or no xdotool.
"""

import os
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_suite as suite  # noqa: E402
from run_suite import check, check_equal  # noqa: E402

COUNTDOWN = 30
FROZEN_FOR_S = 3.2   # the shown number must stay at least 3 s
CLOSES_WITHIN_S = 3  # a key that closes the dialog does so at once; the countdown would take 30 s
STAYS_OPEN_S = 2.5


def xdotool(*args):
    result = subprocess.run(["xdotool"] + list(args), capture_output=True, text=True, timeout=30)
    check_equal(result.returncode, 0, f"xdotool {' '.join(args)} ({result.stderr.strip()!r})")
    return result


class TypedKeys(suite.Suite):
    def open_dialog(self, build, unattended):
        """zembrel on the report path, its dialog up and holding X's input focus."""
        session = self.session
        session.prepare_device(build["exe"], "388", timeout=COUNTDOWN)
        process = session.start_zembrel("-SNMP" if unattended else "")
        watcher = None
        if unattended:
            watcher = session.start([session.windriver, "watch", str(suite.IDC_TIMEOUT_VALUE), "60"])
        suite.find_dialog(session)
        window = xdotool("search", "--sync", "--onlyvisible", "--name", suite.DIALOG_TITLE).stdout.split()
        check(len(window) >= 1, "the dialog's X window was not found")
        # No window manager: give the dialog X's input focus directly.
        xdotool("windowfocus", "--sync", window[0])
        time.sleep(0.3)
        return process, watcher

    def still_open(self):
        return self.session.windriver_run("find", 0).code == 0

    def cancel(self, process):
        result = self.session.windriver_run("click", suite.IDCANCEL)
        check_equal(result.code, 0, f"click Cancel ({result.out!r})")
        return suite.finish(process)

    def closes_at_once(self, build, key, unattended):
        session = self.session
        process, watcher = self.open_dialog(build, unattended)
        xdotool("key", key)
        result = session.windriver_run("wait-closed", CLOSES_WITHIN_S)
        check_equal(result.code, 0, f"dialog closed within {CLOSES_WITHIN_S} s of {key}")
        run = suite.finish(process)
        if watcher is not None:
            watcher.wait(70)
        check_equal(run.exit_code, 1, "exit code")
        check_equal(session.status_code(), suite.STATUS_INCOMPATIBLE if unattended else None, "ZembrelCode")

    def attended_stays_open(self, build, key):
        session = self.session
        process, _ = self.open_dialog(build, False)
        xdotool("key", key)
        time.sleep(STAYS_OPEN_S)
        check(self.still_open(), f"the dialog closed on {key}")
        # And it still answers: no modal loop of the system menu's has taken over.
        run = self.cancel(process)
        check_equal(run.exit_code, 1, "exit code")
        check_equal(session.status_code(), None, "ZembrelCode after an attended run")

    def unattended_freezes(self, build, key):
        session = self.session
        process, watcher = self.open_dialog(build, True)
        before = suite.control_text(session, suite.IDC_TIMEOUT_VALUE)
        xdotool("key", key)
        time.sleep(0.5)
        frozen = suite.control_text(session, suite.IDC_TIMEOUT_VALUE)
        check(frozen.isdigit() and before.isdigit() and 0 <= int(before) - int(frozen) <= 1,
              f"number {before!r} before {key}, {frozen!r} after")
        time.sleep(FROZEN_FOR_S)
        check_equal(suite.control_text(session, suite.IDC_TIMEOUT_VALUE), frozen,
                    f"number {FROZEN_FOR_S} s after {key}")
        run = self.cancel(process)
        watcher.wait(70)
        # The number as it changed, from the dialog's first paint to its close.
        shown = [suite.decode_hex(line.split()[2]) for line in watcher.lines()
                 if line.startswith("at ") and len(line.split()) > 2]
        check(frozen in shown, f"numbers shown {shown!r}")
        check_equal(shown[shown.index(frozen):], [frozen], "numbers shown after the key")
        check(any(line.startswith("closed ") for line in watcher.lines()), f"watch: {watcher.out!r}")
        check_equal(run.exit_code, 1, "exit code")
        check_equal(session.status_code(), suite.STATUS_INCOMPATIBLE, "ZembrelCode")

    def run(self):
        for build in self.builds:
            self.case(build, "unattended", "Alt+x freezes the number, Cancel ends it", self.unattended_freezes, "alt+x")
            self.case(build, "unattended", "Alt alone freezes the number", self.unattended_freezes, "alt")
            self.case(build, "unattended", "Alt+F4 closes at once", self.closes_at_once, "alt+F4", True)
            self.case(build, "unattended", "Esc closes at once", self.closes_at_once, "Escape", True)
            self.case(build, "attended", "Alt+F4 leaves it open", self.attended_stays_open, "alt+F4")
            self.case(build, "attended", "Alt+x leaves it open", self.attended_stays_open, "alt+x")
            self.case(build, "attended", "Alt alone leaves it open and answering", self.attended_stays_open, "alt")
            for key in ("Escape", "Return", "space"):
                self.case(build, "attended", f"{key} on Cancel closes", self.closes_at_once, key, False)
        return self.execute()


if __name__ == "__main__":
    sys.exit(suite.run_main(__doc__, TypedKeys, "Typed keys", tools=[("xdotool", "xdotool")],
                            screenshots=False))
