#!/usr/bin/env python3
# The Wine suite: end-to-end cases of zembrel.exe, each on every build given.
"""End-to-end cases of zembrel.exe under Wine: the gate, the hand-off, the dialog, the keys.

Runs natively and drives Wine itself, inside the session that with-wine.sh sets up (one
Xvfb, one prefix, one persistent wineserver):

    tests/wine/with-wine.sh python3 tests/wine/run_suite.py \
        --zembrel build/mingw-i686/zembrel.exe --zembrel build/mingw-x64/zembrel.exe \
        --helpers build/mingw-x64/tests/wine

Each --zembrel is one build; every case runs on each. The device build (subsystem 9) runs as
the device starts it, through ceload.exe and the stand-in COREDLL.dll, which --helpers must
hold: every case but the desktop build's device-root settings, with its files and keys under
C:\zembrel-device and HKCU\Software\ZembrelDevice. Typed keys (real_keys.py) are the desktop
dialog manager's and do not run on it; the handler's answer to posted system keys does.
Prints one line per case and closes
with "N passed, N failed"; exits 0 when all pass, 1 when any fails, 77 when there is no
Wine session to run in.
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

DIALOG_TITLE = "Firmware Add-on Error"
MESSAGE = ("Cannot add this firmware to the incompatible installed firmware.\n"
           "The current installed firmware must be Version 3.42 (Build 389) or higher.")
TIMEOUT_LABEL = "Time out (in Second)"
STATUS_INCOMPATIBLE = 29

IDCANCEL = 2
IDC_TIMEOUT_LABEL = 1015
IDC_TIMEOUT_VALUE = 1017
IDC_MESSAGE = 1020
VK_MENU = 0x12
VK_F4 = 0x73

# The dialog template in dialog units: id -> (x, y, width, height), and its size.
TEMPLATE_SIZE = (295, 97)
TEMPLATE_CONTROLS = {
    IDCANCEL: (121, 73, 50, 14),
    IDC_MESSAGE: (55, 12, 230, 36),
    IDC_TIMEOUT_LABEL: (84, 57, 91, 11),
    IDC_TIMEOUT_VALUE: (182, 56, 21, 11),
    0xFFFF: (21, 13, 21, 20),
}

# Generous bounds: Wine on a loaded CI machine is slow to start and to paint.
DIALOG_APPEARS_S = 20
RUN_LIMIT_S = 40
STUB_APPEARS_S = 10
NO_LAUNCH_GRACE_S = 1.0

# Wine's own fonts: Marlett for the caption's buttons, and its versions of the classic system
# fonts (MS Sans Serif, Tahoma, ...). Debian's fonts-wine installs them here, but Debian's
# Wine 8 does not look there, and without them the dialog draws with substitutes.
WINE_FONTS = "/usr/share/wine/fonts"

# The device build runs as the device starts it: ceload.exe maps it and calls its entry over
# the stand-in COREDLL.dll, which keeps its files and keys here, as ZEMBREL_ROOT and
# ZEMBREL_HKLM keep a desktop build's, never in Wine's own C:\windows or HKLM.
DEVICE_ROOT = r"C:\zembrel-device"
DEVICE_HKLM = r"HKCU\Software\ZembrelDevice"
IMAGE_SUBSYSTEM_WINDOWS_CE_GUI = 9


class CaseFailure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise CaseFailure(message)


def check_equal(actual, expected, what):
    if actual != expected:
        raise CaseFailure(f"{what}: expected {expected!r}, got {actual!r}")


def pe_machine(path):
    """The build a PE file is, from its header: 'i686', 'x86-64' or, for the device's
    subsystem, 'wince-x86'."""
    with open(path, "rb") as exe:
        head = exe.read(4096)
    offset = struct.unpack_from("<I", head, 0x3C)[0]
    check(head[offset:offset + 4] == b"PE\0\0", f"{path} is not a PE file")
    machine = struct.unpack_from("<H", head, offset + 4)[0]
    subsystem = struct.unpack_from("<H", head, offset + 24 + 68)[0]
    if subsystem == IMAGE_SUBSYSTEM_WINDOWS_CE_GUI:
        return "wince-x86"
    return {0x14C: "i686", 0x8664: "x86-64"}.get(machine, hex(machine))


class WineSession:
    """The prefix, the registry and the programs of one with-wine.sh session."""

    def __init__(self, wine, helpers, screenshots):
        self.wine = wine
        self.prefix = os.environ["WINEPREFIX"]
        self.drive_c = os.path.join(self.prefix, "drive_c")
        self.windows = os.path.join(self.drive_c, "windows")
        self.work = os.path.join(self.drive_c, "zembrel-test")
        self.windriver = os.path.join(self.work, "windriver.exe")
        self.stub_source = os.path.join(helpers, "upgrade_stub.exe")
        self.screenshots = screenshots
        self.logs = tempfile.mkdtemp(prefix="zembrel-suite-")
        self.counter = 0
        self.live = []
        os.makedirs(self.work, exist_ok=True)
        shutil.copyfile(os.path.join(helpers, "windriver.exe"), self.windriver)
        # The device's loader and coredll, where the device build's suite needs them.
        for name in ("ceload.exe", "COREDLL.dll"):
            if os.path.exists(os.path.join(helpers, name)):
                shutil.copyfile(os.path.join(helpers, name), os.path.join(self.work, name))
        self.install_wine_fonts()
        self.use({"device": False})

    def use(self, build):
        """The device's folder and keys for this build: Wine's own for a desktop build."""
        self.device = build["device"]
        if self.device:
            self.device_windows = DEVICE_ROOT + r"\Windows"
            self.hklm = DEVICE_HKLM
            folder = os.path.join(self.drive_c, "zembrel-device", "Windows")
        else:
            self.device_windows = r"C:\windows"
            self.hklm = "HKLM"
            folder = self.windows
        os.makedirs(folder, exist_ok=True)
        self.upgrade = os.path.join(folder, "upgrade.exe")
        self.args_file = os.path.join(folder, "upgrade-args.txt")
        self.installed = os.path.join(folder, "zembrel.exe")
        self.platform_key = self.hklm + r"\Platform"
        self.snmp_key = self.hklm + r"\NetAdmin\SNMP"

    def launch(self, exe, env=None):
        """The program to start for zembrel.exe at exe, and its environment: the exe itself, or
        for the device build the loader, told which image to start and where the device is."""
        if not self.device:
            return exe, env
        device = {"ZEMBREL_CE_IMAGE": exe, "ZEMBREL_ROOT": DEVICE_ROOT, "ZEMBREL_HKLM": DEVICE_HKLM}
        device.update(env or {})
        return r"C:\zembrel-test\ceload.exe", device

    def install_wine_fonts(self):
        """Wine's fonts in the prefix's Fonts folder, where Windows keeps its own."""
        if not os.path.isdir(WINE_FONTS):
            print(f"note: {WINE_FONTS} not found (Debian package fonts-wine): "
                  "the dialog draws with substitute fonts", flush=True)
            return
        fonts = os.path.join(self.windows, "Fonts")
        os.makedirs(fonts, exist_ok=True)
        for name in os.listdir(WINE_FONTS):
            if not os.path.exists(os.path.join(fonts, name)):
                shutil.copyfile(os.path.join(WINE_FONTS, name), os.path.join(fonts, name))

    def close(self):
        shutil.rmtree(self.logs, ignore_errors=True)

    def _files(self):
        self.counter += 1
        base = os.path.join(self.logs, str(self.counter))
        return base + ".out", base + ".err"

    def environment(self, debug="-all", extra=None):
        env = dict(os.environ)
        env["WINEDEBUG"] = debug
        env.update(extra or {})
        return env

    def start(self, args, debug="-all", env=None):
        """Starts a Wine program with its output in files: Wine's helpers outlive it.

        env adds variables, which Wine passes on to the program and to what it starts."""
        out_path, err_path = self._files()
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            process = subprocess.Popen([self.wine] + args, cwd=self.work, stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=err, env=self.environment(debug, env))
        started = WineProcess(process, out_path, err_path)
        self.live.append(started)
        return started

    def end_leftovers(self):
        """After a failed case: close a dialog it left open, then stop what still runs."""
        running = [item for item in self.live if item.process.poll() is None]
        self.live = []
        if not running:
            return
        for _ in range(3):
            subprocess.run([self.wine, self.windriver, "post", "command", "2"], cwd=self.work,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           env=self.environment(), timeout=30)
            time.sleep(0.5)
        for item in running:
            try:
                item.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                item.process.kill()
                item.process.wait()
        # Ending windriver leaves the zembrel it started; a dialog left up would be found by
        # the next case.
        self.run([self.windriver, "end"])

    def run(self, args, debug="-all", limit=RUN_LIMIT_S):
        return self.start(args, debug).wait(limit)

    # The registry, through Wine's own reg.exe.
    def reg(self, *args):
        return self.run(["reg"] + list(args))

    def set_build(self, value):
        if value is None:
            self.reg("delete", self.platform_key, "/f")
        else:
            result = self.reg("add", self.platform_key, "/v", "Build", "/t", "REG_SZ", "/d", value, "/f")
            check_equal(result.code, 0, f"reg add Build={value!r}")
            check_equal(self.query(self.platform_key, "Build"), ("REG_SZ", value), "Build as stored")

    def reset_management_key(self, timeout=None):
        self.reg("delete", self.snmp_key, "/f")
        if timeout is not None:
            result = self.reg("add", self.snmp_key, "/v", "ZembrelTimeOut", "/t", "REG_DWORD", "/d", str(timeout), "/f")
            check_equal(result.code, 0, "reg add ZembrelTimeOut")

    def query(self, key, name):
        """(type, data text) of a value as reg query shows it, or None when it is absent."""
        result = self.reg("query", key, "/v", name)
        if result.code != 0:
            return None
        for line in result.out.splitlines():
            # reg query separates name, type and data by four spaces; data keeps its own.
            match = re.match(r"^    (.+?)    (REG_\w+)    (.*)$", line)
            if match and match.group(1).lower() == name.lower():
                return match.group(2), match.group(3)
        raise CaseFailure(f"reg query {key} /v {name}: unexpected output {result.out!r}")

    def status_code(self):
        value = self.query(self.snmp_key, "ZembrelCode")
        if value is None:
            return None
        check_equal(value[0], "REG_DWORD", "type of ZembrelCode")
        return int(value[1], 16)

    def prepare_device(self, exe, installed_build, timeout=None, stub=True):
        """A fresh zembrel.exe (and stub upgrade program), this build, and the management key."""
        self.install(exe, stub=stub)
        self.set_build(installed_build)
        self.reset_management_key(timeout=timeout)

    # zembrel.exe and its upgrade program.
    def install(self, exe, stub=True):
        for old in (self.installed, self.upgrade, self.args_file):
            if os.path.exists(old):
                os.remove(old)
        # Fresh files each time, and no record left from the case before.
        shutil.copyfile(exe, self.installed)
        if stub:
            shutil.copyfile(self.stub_source, self.upgrade)

    def copy_elsewhere(self, exe):
        """A copy of the build to run, outside the device's folders: a running image stays."""
        folder = os.path.join(self.work, "elsewhere")
        os.makedirs(folder, exist_ok=True)
        shutil.copyfile(exe, os.path.join(folder, "zembrel.exe"))
        return r"C:\zembrel-test\elsewhere\zembrel.exe"

    def start_zembrel(self, command_line, exe=None, debug="-all,warn+seh", env=None):
        """Starts zembrel through windriver, with exactly this command line after its name."""
        encoded = command_line.encode("utf-8").hex() or "-"
        program, env = self.launch(exe or self.device_windows + r"\zembrel.exe", env)
        return self.start([self.windriver, "run", program, r"C:\zembrel-test", encoded, str(RUN_LIMIT_S)], debug, env)

    def windriver_run(self, *args, limit=RUN_LIMIT_S, env=None):
        return self.start([self.windriver] + [str(arg) for arg in args], env=env).wait(limit)

    def wait_for_upgrade_record(self, limit=STUB_APPEARS_S, args_file=None):
        args_file = args_file or self.args_file
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if os.path.exists(args_file):
                with open(args_file, "rb") as record:
                    data = record.read()
                line, _, directory = data.decode("utf-16-le").partition("\0")
                return line, directory
            time.sleep(0.05)
        return None

    def screenshot(self, name):
        """The dialog's window as X draws it, or None when ImageMagick or X tools are missing."""
        if not self.screenshots or not shutil.which("import") or not shutil.which("xwininfo"):
            return None
        os.makedirs(self.screenshots, exist_ok=True)
        tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True, timeout=20)
        ids = [line.split()[0] for line in tree.stdout.splitlines() if f'"{DIALOG_TITLE}"' in line]
        path = os.path.join(self.screenshots, name)
        target = ids[0] if ids else "root"
        subprocess.run(["import", "-window", target, path], capture_output=True, timeout=30)
        return path if os.path.exists(path) else None


class WineProcess:
    def __init__(self, process, out_path, err_path):
        self.process = process
        self.out_path = out_path
        self.err_path = err_path
        self.code = None
        self.out = ""
        self.err = ""
        self.elapsed = None
        self.started = time.monotonic()

    def wait(self, limit=RUN_LIMIT_S):
        try:
            self.code = self.process.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise CaseFailure(f"{self.process.args} still running after {limit} s")
        self.elapsed = time.monotonic() - self.started
        with open(self.out_path, "rb") as out:
            self.out = out.read().decode("utf-8", "replace")
        with open(self.err_path, "rb") as err:
            self.err = err.read().decode("utf-8", "replace")
        if os.environ.get("ZEMBREL_SUITE_VERBOSE"):
            print(f"     {self.elapsed:5.2f} s {' '.join(self.process.args[1:])[:100]} -> {self.code}", flush=True)
        return self

    def lines(self):
        return self.out.splitlines()


class ZembrelRun:
    """What one run of zembrel.exe left behind: exit code and debug lines."""

    def __init__(self, process):
        self.windriver = process
        self.exit_code = None
        self.windows = []  # the titles of the windows it showed
        for line in process.lines():
            match = re.match(r"^exit (\d+) ", line)
            if match:
                self.exit_code = int(match.group(1))
            if line.startswith("window "):
                self.windows.append(decode_hex(line[len("window "):]))
        # OutputDebugStringW as Wine's seh channel shows it: warn:seh:OutputDebugStringA "...".
        self.debug = re.findall(r'warn:seh:OutputDebugStringA (".*)$', process.err, re.M)


def finish(process):
    # Longer than windriver's own limit, so that it reports a run that did not end.
    process.wait(RUN_LIMIT_S + 10)
    run = ZembrelRun(process)
    check(run.exit_code is not None, f"windriver did not report an exit code: {process.out!r} {process.err[-400:]!r}")
    return run


def decode_hex(text):
    return bytes.fromhex(text).decode("utf-8")


def parse_fields(process):
    """windriver's output: 'key value' lines, hex texts decoded."""
    fields = {}
    for line in process.lines():
        key, _, value = line.partition(" ")
        if key in ("class", "title", "text"):
            value = decode_hex(value)
        fields.setdefault(key, value)
    return fields


def find_dialog(session):
    found = session.windriver_run("find", DIALOG_APPEARS_S)
    check_equal(found.code, 0, f"dialog '{DIALOG_TITLE}' found (windriver said {found.out!r})")
    return parse_fields(found)


def control_text(session, control):
    result = session.windriver_run("text", control)
    check_equal(result.code, 0, f"text of control {control} ({result.out!r})")
    return parse_fields(result)["text"]


def dialog_info(session):
    """The dialog's window, client size, focus and each control, as windriver info reports them."""
    result = session.windriver_run("info")
    check_equal(result.code, 0, f"windriver info ({result.out!r})")
    info = {"controls": {}}
    current = None
    for line in result.lines():
        words = line.split()
        if words[0] == "client":
            info["client"] = (int(words[1]), int(words[2]))
        elif words[0] == "window":
            info["window"] = tuple(int(word) for word in words[1:5])
        elif words[0] == "screen":
            info["screen"] = (int(words[1]), int(words[2]))
        elif words[0] == "focus":
            info["focus"] = int(words[1])
        elif words[0] == "dialog":
            info["style"] = int(words[3], 16)
        elif words[0] == "control":
            current = {"visible": words[3] == "1", "style": int(words[5], 16),
                       "rect": tuple(int(word) for word in words[7:11])}
            info["controls"][int(words[1]) & 0xFFFF] = current
        elif words[0] in ("class", "text") and current is not None:
            current[words[0]] = decode_hex(words[1]) if len(words) > 1 else ""
    return info


def wait_closed(session, limit):
    result = session.windriver_run("wait-closed", limit)
    check_equal(result.code, 0, f"dialog closed within {limit} s ({result.out!r})")


def post(session, message, wparam):
    result = session.windriver_run("post", message, wparam)
    check_equal(result.code, 0, f"post {message} {wparam} ({result.out!r})")


def upgrade_parameters(record):
    """The parameters part of the upgrade program's command line: after its quoted name and one space."""
    line, directory = record
    match = re.match(r'^"([^"]*)"(.*)$', line, re.S)
    check(match is not None, f"upgrade command line does not start with a quoted program name: {line!r}")
    check(match.group(1).lower().endswith(r"\windows\upgrade.exe"), f"program started: {match.group(1)!r}")
    rest = match.group(2)
    check(rest.startswith(" "), f"no space between program and parameters: {line!r}")
    return rest[1:], directory


class Suite:
    """The cases, each a method run on each build; unittest runs them, as it runs the
    end-to-end tests of the POSIX binary."""

    def __init__(self, session, builds, only=None):
        self.only = only
        self.session = session
        self.builds = builds
        self.plan = []

    def case(self, build, group, name, function, *args):
        label = f"[{build['arch']}] {group}: {name}"
        if not self.only or any(word in label for word in self.only):
            self.plan.append((label, build, function, args))

    def execute(self):
        """Runs the planned cases in their order, one unittest test each; a case that fails
        leaves no program of its own running for the next."""
        session = self.session

        class Cases(unittest.TestCase):
            pass

        for index, (label, build, function, args) in enumerate(self.plan):
            def test(_, build=build, function=function, args=args):
                session.use(build)
                try:
                    function(build, *args)
                except BaseException:
                    session.end_leftovers()
                    raise
                session.live = []

            test.__doc__ = label
            setattr(Cases, "test_%03d" % index, test)
        result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(
            unittest.defaultTestLoader.loadTestsFromTestCase(Cases))
        failed = len(result.failures) + len(result.errors)
        print(f"{result.testsRun - failed} passed, {failed} failed", flush=True)
        return 0 if result.wasSuccessful() else 1

    # --- the gate and the hand-off ------------------------------------------------------

    def hand_off(self, build, installed_build, command_line, expected):
        session = self.session
        session.prepare_device(build["exe"], installed_build)
        run = finish(session.start_zembrel(command_line))
        check_equal(run.exit_code, 1, "exit code")
        record = session.wait_for_upgrade_record()
        check(record is not None, "upgrade.exe was not started")
        parameters, directory = upgrade_parameters(record)
        check_equal(parameters, expected, "upgrade parameters")
        check_equal(directory.lower(), session.device_windows.lower(), "upgrade.exe's working directory (any case)")
        check_equal(len(run.debug), 1, f"debug lines {run.debug!r}")
        # Wine shows the text in C escapes and cuts a long one short with "...".
        shown = run.debug[0]
        full = '"Cmd: ' + expected + '\\n"'
        if shown.endswith('"...'):
            check(len(shown) > 40 and full.startswith(shown[:-4]), f"debug line {shown!r} is not the start of {full!r}")
        else:
            check_equal(shown, full, "debug line")
        check_equal(session.status_code(), None, "ZembrelCode after a hand-off")

    def report_path(self, build, installed_build):
        session = self.session
        session.prepare_device(build["exe"], installed_build)
        # Attended, with the option the hand-off would rewrite: the report path shows the
        # dialog and passes nothing on.
        process = session.start_zembrel("-NoUPGRADE")
        find_dialog(session)
        result = session.windriver_run("click", IDCANCEL)
        check_equal(result.code, 0, f"click Cancel ({result.out!r})")
        run = finish(process)
        check_equal(run.exit_code, 1, "exit code")
        check_equal(run.debug, [], "debug lines on the report path")
        time.sleep(NO_LAUNCH_GRACE_S)
        check(not os.path.exists(session.args_file), "upgrade.exe was started on the report path")
        check_equal(session.status_code(), None, "ZembrelCode after an attended report")

    def no_upgrade_program(self, build):
        session = self.session
        session.prepare_device(build["exe"], "400", stub=False)
        run = finish(session.start_zembrel("-DHCP"))
        check_equal(run.exit_code, 1, "exit code (a crash would show an exception code)")
        check_equal(run.debug, [], "debug lines without upgrade.exe")
        check(re.search(r"dispatch_exception code=", run.windriver.err) is None, "an exception was raised")
        time.sleep(NO_LAUNCH_GRACE_S)
        check(not os.path.exists(session.args_file), "something was started without upgrade.exe")

    def bad_upgrade_program(self, build):
        session = self.session
        session.prepare_device(build["exe"], "400", stub=False)
        with open(session.upgrade, "w") as text:
            text.write("not a program\r\n")
        # From a copy, so that the deletion of C:\windows\zembrel.exe can show.
        process = session.start_zembrel("-DHCP", exe=session.copy_elsewhere(build["exe"]))
        process.wait(RUN_LIMIT_S + 10)
        run = ZembrelRun(process)
        # The shell's own error box ("Error") would wait for a click, until windriver gives up.
        check_equal(run.windows, [], "windows shown")
        check_equal(run.exit_code, 1, "exit code")
        check_equal(len(run.debug), 1, f"debug lines {run.debug!r}")
        check(not os.path.exists(session.installed), r"C:\windows\zembrel.exe is still there")
        check(os.path.exists(session.upgrade), "the text file was removed")

    # --- the device root on desktop Windows --------------------------------------------

    def device_root(self, build, installed_build):
        """ZEMBREL_ROOT and ZEMBREL_HKLM move the device's files and keys; Windows' own stay."""
        session = self.session
        root = os.path.join(session.work, "device")
        device_windows = os.path.join(root, "Windows")
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(device_windows)
        device_exe = os.path.join(device_windows, "zembrel.exe")
        device_args = os.path.join(device_windows, "upgrade-args.txt")
        shutil.copyfile(build["exe"], device_exe)
        shutil.copyfile(session.stub_source, os.path.join(device_windows, "upgrade.exe"))
        # Windows' own keys and folder hold the opposite outcome, so a call that is not moved
        # shows: their build would take the other path, their countdown ends at once.
        session.prepare_device(build["exe"], "388" if installed_build == "400" else "400", timeout=0)
        device_key = r"HKCU\Software\ZembrelSuite\Device"
        session.reg("delete", device_key, "/f")
        result = session.reg("add", device_key + r"\Platform", "/v", "Build", "/t", "REG_SZ", "/d",
                             installed_build, "/f")
        check_equal(result.code, 0, "reg add the device's Build")
        result = session.reg("add", device_key + r"\NetAdmin\SNMP", "/v", "ZembrelTimeOut", "/t",
                             "REG_DWORD", "/d", "1", "/f")
        check_equal(result.code, 0, "reg add the device's ZembrelTimeOut")
        env = {"ZEMBREL_ROOT": "C:\\zembrel-test\\device\\", "ZEMBREL_HKLM": device_key}
        process = session.start_zembrel("-SNMP", exe=session.copy_elsewhere(build["exe"]), env=env)
        if installed_build == "388":
            find_dialog(session)
            wait_closed(session, 10)
        run = finish(process)
        check_equal(run.exit_code, 1, "exit code")
        check(not os.path.exists(device_exe), r"the device's \Windows\zembrel.exe is still there")
        check(os.path.exists(session.installed), r"C:\windows\zembrel.exe was deleted")
        device_code = session.query(device_key + r"\NetAdmin\SNMP", "ZembrelCode")
        check_equal(session.status_code(), None, r"ZembrelCode in HKLM\NetAdmin\SNMP")
        if installed_build == "400":
            record = session.wait_for_upgrade_record(args_file=device_args)
            check(record is not None, r"the device's \Windows\upgrade.exe was not started")
            line, directory = record
            check_equal(line, r'"C:\zembrel-test\device\Windows\upgrade.exe" -SNMP -NoZEMBRL', "upgrade command line")
            check_equal(directory.lower(), r"c:\zembrel-test\device\windows", "upgrade.exe's working directory")
            check_equal(device_code, None, "the device's ZembrelCode after a hand-off")
        else:
            check_equal(run.windows, [DIALOG_TITLE], "windows shown")
            check_equal(device_code, ("REG_DWORD", "0x1d"), "the device's ZembrelCode")
        time.sleep(NO_LAUNCH_GRACE_S)
        check(not os.path.exists(session.args_file), r"C:\windows\upgrade.exe was started")
        session.reg("delete", r"HKCU\Software\ZembrelSuite", "/f")
        shutil.rmtree(root, ignore_errors=True)

    # --- the fixed path of the deletion -------------------------------------------------

    def delete_from_elsewhere(self, build, installed_build, stub):
        session = self.session
        session.prepare_device(build["exe"], installed_build, timeout=0, stub=stub)
        exe = session.copy_elsewhere(build["exe"])
        copy = os.path.join(session.work, "elsewhere", "zembrel.exe")
        # Unattended with a countdown of 0, so a report ends by itself.
        run = finish(session.start_zembrel("-SNMP", exe=exe))
        check_equal(run.exit_code, 1, "exit code")
        check(not os.path.exists(session.installed), r"C:\windows\zembrel.exe is still there")
        check(os.path.exists(copy), "the copy that ran was deleted")
        if stub and installed_build == "400":
            check(session.wait_for_upgrade_record() is not None, "upgrade.exe was not started")
        os.remove(copy)

    def delete_own_path(self, build):
        session = self.session
        session.install(build["exe"], stub=False)
        session.set_build("400")
        process = session.start_zembrel("", debug="-all,trace+file")
        run = finish(process)
        check_equal(run.exit_code, 1, "exit code")
        if build["device"]:
            # The loader holds no file of the image it started, so the deletion shows.
            check(not os.path.exists(session.installed), r"\Windows\zembrel.exe is still there")
            return
        # The file trace shows the call: Wine, like Windows, keeps a running image.
        check(re.search(r'trace:file:DeleteFileW L"\\\\Windows\\\\zembrel\.exe"', process.err) is not None,
              r'no DeleteFileW L"\Windows\zembrel.exe" in the file trace')

    # --- the device's loader -------------------------------------------------------------

    def loader_refuses_desktop_images(self, build):
        """A desktop program is no device program: the loader starts none, as the device's
        kernel would not (here the upgrade stub, subsystem 2, importing kernel32)."""
        session = self.session
        session.prepare_device(build["exe"], "400")
        stub = r"C:\zembrel-test\stub-as-image.exe"
        shutil.copyfile(session.stub_source, os.path.join(session.work, "stub-as-image.exe"))
        process = session.start_zembrel("-DHCP", exe=stub)
        run = finish(process)
        check_equal(run.exit_code, 3, "ceload's exit code for a desktop image")
        check("not a Windows CE GUI program" in process.err, f"ceload said {process.err[-300:]!r}")
        check(os.path.exists(session.installed), r"\Windows\zembrel.exe was deleted")

    # --- the dialog -----------------------------------------------------------------------

    def check_layout(self, info):
        """Each control where the template puts it, in the dialog's own dialog units."""
        client_w, client_h = info["client"]
        unit_x = client_w / TEMPLATE_SIZE[0]
        unit_y = client_h / TEMPLATE_SIZE[1]
        for control, (x, y, w, h) in TEMPLATE_CONTROLS.items():
            check(control in info["controls"], f"control {control} missing")
            left, top, right, bottom = info["controls"][control]["rect"]
            expected = (x * unit_x, y * unit_y, (x + w) * unit_x, (y + h) * unit_y)
            actual = (left, top, right, bottom)
            if control == 0xFFFF:
                # An icon control takes its icon's size; only its place is the template's.
                expected, actual = expected[:2], actual[:2]
            # Each edge rounds on its own.
            check(all(abs(a - e) <= 3 for a, e in zip(actual, expected)),
                  f"control {control} at {actual}, template puts it at {tuple(round(e) for e in expected)}")
        # Centred on the screen.
        left, top, right, bottom = info["window"]
        screen_w, screen_h = info["screen"]
        check(abs((left + right) / 2 - screen_w / 2) <= 2 and abs((top + bottom) / 2 - screen_h / 2) <= 2,
              f"dialog at {info['window']} is not centred on a {screen_w}x{screen_h} screen")

    def attended(self, build):
        session = self.session
        # A countdown value that would end the dialog at once if attended mode used it.
        session.prepare_device(build["exe"], "388", timeout=0)
        process = session.start_zembrel("")
        found = find_dialog(session)
        check_equal(found["title"], DIALOG_TITLE, "title")
        check_equal(found["class"], "#32770", "window class")
        info = dialog_info(session)
        # The template's style, made visible; Wine adds WS_CLIPSIBLINGS and DS_3DLOOK as Windows does.
        check_equal(info["style"] & ~0x04000004, 0x90C808C0, "dialog style")
        controls = info["controls"]
        check_equal(controls[IDC_MESSAGE]["text"], MESSAGE, "message")
        check_equal(controls[IDCANCEL]["text"], "Cancel", "button")
        check_equal(controls[IDCANCEL]["class"], "Button", "Cancel's class")
        check_equal(controls[IDC_TIMEOUT_LABEL]["text"], TIMEOUT_LABEL, "label text")
        check_equal(controls[IDC_TIMEOUT_LABEL]["visible"], False, "label visible in attended mode")
        check_equal(controls[IDC_TIMEOUT_VALUE]["visible"], False, "number visible in attended mode")
        check_equal(controls[0xFFFF]["style"] & 0x1F, 0x3, "icon control is SS_ICON")
        check_equal(controls[0xFFFF]["visible"], True, "icon visible")
        check_equal(info["focus"], IDCANCEL, "focus")
        self.check_layout(info)
        if build["shots"]:
            session.screenshot(f"dialog-wine-attended-{build['arch']}.png")
        # No countdown runs: still open well after a zero countdown would have ended it.
        time.sleep(2.5)
        check_equal(control_text(session, IDC_MESSAGE), MESSAGE, "message, still open after 2.5 s")
        result = session.windriver_run("click", IDCANCEL)
        check_equal(result.code, 0, f"click Cancel ({result.out!r})")
        run = finish(process)
        check_equal(run.exit_code, 1, "exit code")
        check_equal(session.status_code(), None, "ZembrelCode after an attended run")
        check_equal(session.query(session.snmp_key, "ZembrelTimeOut"), ("REG_DWORD", "0x0"), "ZembrelTimeOut untouched")

    def countdown(self, build):
        session = self.session
        session.prepare_device(build["exe"], "388", timeout=3)
        process = session.start_zembrel("-SNMP")
        watcher = session.start([session.windriver, "watch", str(IDC_TIMEOUT_VALUE), "30"])
        info = None
        try:
            find_dialog(session)
            if build["shots"]:
                session.screenshot(f"dialog-wine-counting-{build['arch']}.png")
            info = dialog_info(session)
        finally:
            watcher.wait(60)
        run = finish(process)
        seen = []
        closed_at = None
        for line in watcher.lines():
            words = line.split()
            if words[0] == "at":
                seen.append(decode_hex(words[2]) if len(words) > 2 else "")
            elif words[0] == "closed":
                closed_at = int(words[1]) / 1000
        check(closed_at is not None, f"the dialog did not close by itself: {watcher.out!r}")
        check(2.5 <= closed_at <= 10, f"the dialog closed {closed_at:.1f} s after it appeared")
        shown = [text for text in seen if text]
        check(all(text in ("3", "2", "1", "0") for text in shown), f"numbers shown: {seen!r}")
        numbers = [int(text) for text in shown]
        check(numbers == sorted(set(numbers), reverse=True), f"numbers not counting down: {seen!r}")
        check(len(numbers) >= 3 and numbers[-1] == 0, f"too few of 3, 2, 1, 0 seen: {seen!r}")
        # Opens with 3, closes on the fourth tick: about 4 s after it opened.
        check(2.5 <= run.windriver.elapsed <= 12, f"zembrel ran {run.windriver.elapsed:.1f} s")
        check(info is not None and info["controls"][IDC_TIMEOUT_LABEL]["visible"], "label hidden while counting")
        check(info["controls"][IDC_TIMEOUT_VALUE]["visible"], "number hidden while counting")
        check_equal(info["controls"][IDC_TIMEOUT_LABEL]["text"], TIMEOUT_LABEL, "label text")
        check_equal(run.exit_code, 1, "exit code")
        check_equal(session.status_code(), STATUS_INCOMPATIBLE, "ZembrelCode")

    def frozen_by_system_key(self, build, key):
        session = self.session
        session.prepare_device(build["exe"], "388", timeout=30)
        process = session.start_zembrel("-NoUI")
        find_dialog(session)
        post(session, "syskeydown", key)
        post(session, "syskeyup", key)
        time.sleep(0.5)
        first = control_text(session, IDC_TIMEOUT_VALUE)
        check(first.isdigit() and 20 <= int(first) <= 30, f"number before the wait: {first!r}")
        time.sleep(2.5)
        later = control_text(session, IDC_TIMEOUT_VALUE)
        check_equal(later, first, "number 2.5 s after a system key")
        # A command outside 1, 2 and 16 leaves it open; 16 closes it.
        post(session, "command", 3)
        time.sleep(0.5)
        check_equal(control_text(session, IDC_TIMEOUT_VALUE), first, "number after command 3")
        post(session, "command", 16)
        wait_closed(session, 10)
        run = finish(process)
        check_equal(run.exit_code, 1, "exit code")
        check_equal(session.status_code(), STATUS_INCOMPATIBLE, "ZembrelCode")

    def closed_by_alt_f4(self, build):
        session = self.session
        session.prepare_device(build["exe"], "388", timeout=30)
        process = session.start_zembrel("-DHCP")
        find_dialog(session)
        started = time.monotonic()
        post(session, "syskeydown", VK_F4)
        wait_closed(session, 10)
        check(time.monotonic() - started < 8, "the dialog closed only after a while")
        run = finish(process)
        check_equal(run.exit_code, 1, "exit code")
        check_equal(session.status_code(), STATUS_INCOMPATIBLE, "ZembrelCode")

    def owner_and_foreground(self, build, with_desktop):
        session = self.session
        session.prepare_device(build["exe"], "388")
        program, env = session.launch(session.device_windows + r"\zembrel.exe")
        result = session.windriver_run("owner", program, r"C:\zembrel-test", "-", 1 if with_desktop else 0,
                                       DIALOG_APPEARS_S, limit=RUN_LIMIT_S + 20, env=env)
        check_equal(result.code, 0, f"windriver owner ({result.out!r})")
        fields = parse_fields(result)
        check_equal(fields.get("foreground-before"), "other", "foreground before zembrel")
        check_equal(fields.get("owner"), "desktop" if with_desktop else "none", "the dialog's owner")
        check_equal(fields.get("foreground-during"), "dialog", "foreground while the dialog is up")
        check_equal(fields.get("foreground-after"), "other", "foreground after the dialog")
        check_equal(fields.get("exit"), "1 0x00000001", "exit code")

    def run(self):
        gate_cases = [
            ("build 400, empty line", "400", "", " -NoZEMBRL"),
            ("build 389, -DHCP", "389", "-DHCP", "-DHCP -NoZEMBRL"),
            ("build ' 389abc', -NoUPGRADE replaced", " 389abc", "-DHCP -NoUPGRADE -SNMP", "-DHCP  -NoZEMBRL"),
            ("build -1, 600-character line", "-1", LONG_LINE, LONG_LINE + " -NoZEMBRL"),
        ]
        for build in self.builds:
            for name, installed, line, expected in gate_cases:
                self.case(build, "hand-off", name, self.hand_off, installed, line, expected)
            for installed in ("388", "abc", None):
                name = f"build {installed!r} takes the report path" if installed else "no build value"
                self.case(build, "report path", name, self.report_path, installed)
            self.case(build, "hand-off", "no upgrade.exe: no launch, no crash", self.no_upgrade_program)
            self.case(build, "hand-off", "upgrade.exe a text file: no error box, exit 1, deleted",
                      self.bad_upgrade_program)
            if not build["device"]:
                # The desktop build's own settings; the device has its real "\" and HKLM.
                self.case(build, "device root", "hand-off from ZEMBREL_ROOT and ZEMBREL_HKLM", self.device_root, "400")
                self.case(build, "device root", "report into ZEMBREL_HKLM", self.device_root, "388")
            self.case(build, "deletion", "hand-off from a copy elsewhere", self.delete_from_elsewhere, "400", True)
            self.case(build, "deletion", "report from a copy elsewhere", self.delete_from_elsewhere, "388", True)
            self.case(build, "deletion", "no upgrade.exe, copy elsewhere", self.delete_from_elsewhere, "400", False)
            self.case(build, "deletion", r"DeleteFileW(\Windows\zembrel.exe) from itself", self.delete_own_path)
            if build["device"]:
                self.case(build, "loader", "a desktop image is refused", self.loader_refuses_desktop_images)
            self.case(build, "dialog", "attended: texts, layout, Cancel", self.attended)
            self.case(build, "dialog", "countdown of 3 closes by itself", self.countdown)
            self.case(build, "dialog", "WM_SYSKEYDOWN VK_MENU freezes, command 16 closes",
                      self.frozen_by_system_key, VK_MENU)
            self.case(build, "dialog", "WM_SYSKEYDOWN 'A' freezes, command 16 closes",
                      self.frozen_by_system_key, ord("A"))
            self.case(build, "dialog", "WM_SYSKEYDOWN VK_F4 closes", self.closed_by_alt_f4)
            self.case(build, "windows", "desktop window owns the dialog, foreground restored",
                      self.owner_and_foreground, True)
            self.case(build, "windows", "no desktop window: no owner, foreground restored",
                      self.owner_and_foreground, False)
        return self.execute()


# 600 characters, each position recognisable, no option in it.
LONG_LINE = "".join(f"{index:03d}," for index in range(150))


def run_main(doc, make_suite, what, tools=(), screenshots=True):
    """The command line, the checks for a Wine session and the tools, and the run, for this
    suite and the others built on it (real_keys.py)."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--zembrel", action="append", required=True, help="a zembrel.exe; repeat for each build")
    parser.add_argument("--helpers", required=True, help="folder with windriver.exe and upgrade_stub.exe")
    parser.add_argument("--wine", default=os.environ.get("ZEMBREL_WINE", "wine"),
                        help="the wine loader (default: $ZEMBREL_WINE, else wine)")
    if screenshots:
        parser.add_argument("--screenshots", help="folder for the dialog's pictures")
    parser.add_argument("--only", action="append", help="run only the cases whose name holds this text")
    options = parser.parse_args()

    missing = [name for name in ("DISPLAY", "WINEPREFIX") if not os.environ.get(name)]
    if missing or not os.path.isdir(os.path.join(os.environ.get("WINEPREFIX", ""), "drive_c")):
        print(f"SKIP: {what} not run: no Wine session ({', '.join(missing) or 'WINEPREFIX has no drive_c'}); "
              "run under tests/wine/with-wine.sh", flush=True)
        return 77
    for tool, package in ((options.wine, "wine"),) + tuple(tools):
        if shutil.which(tool) is None:
            print(f"SKIP: {what} not run: {tool} not found (Debian package {package})", flush=True)
            return 77

    builds = []
    for exe in options.zembrel:
        arch = pe_machine(exe)
        builds.append({"exe": os.path.abspath(exe), "arch": arch, "shots": True, "device": arch == "wince-x86"})
        if arch == "wince-x86" and not all(os.path.exists(os.path.join(options.helpers, name))
                                           for name in ("ceload.exe", "COREDLL.dll")):
            print(f"FAIL: {exe} is the device build, and {options.helpers} has no ceload.exe and COREDLL.dll "
                  "to start it with (build the wince-x86 preset's tests)", flush=True)
            return 1
    session = WineSession(options.wine, os.path.abspath(options.helpers), getattr(options, "screenshots", None))
    started = time.monotonic()
    try:
        status = make_suite(session, builds, options.only).run()
    finally:
        session.close()
    print(f"{what} took {time.monotonic() - started:.1f} s", flush=True)
    return status


if __name__ == "__main__":
    sys.exit(run_main(__doc__, Suite, "Wine suite"))
