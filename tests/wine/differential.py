#!/usr/bin/env python3
# The three builds held to one another: generated scenarios on the POSIX port, the desktop exe
# and the device build, and what each of them does, compared.
"""A seeded differential test of zembrel's three builds.

Each scenario is a device: a "Build" value of some kind (REG_SZ texts of every sort, REG_MULTI_SZ,
REG_EXPAND_SZ, REG_DWORD, an empty text, no value, no key), a "ZembrelTimeOut" (missing, a
REG_DWORD of any sign, a text), a "ZembrelCode" left from before or none, "\\Windows\\upgrade.exe"
there or not, and a command line with the options anywhere, "-NoUPGRADE" once, twice or in
another case, other text, long lines. It runs on the POSIX port (headless, a device root of its
own), and under Wine on the desktop i686 exe and on the device build (through ceload.exe and the
stand-in COREDLL.dll), each started from a copy outside "\\Windows". Compared: launched or not,
the parameters, the debug line, dialog or none, the countdown's first value, "ZembrelCode"
afterwards, "\\Windows\\zembrel.exe" deleted, the exit code. A dialog is cancelled once its
first value has shown (the status is written however it ends).

One difference is by design: the desktop start-up (and the port, which follows it) drops the
blanks that open the command line, while the device's kernel hands the program the line exactly
as the launcher passed it. Each build is compared on what its own start-up gives WinMain: the
device's parameters and debug line must be the others' with those blanks in front.

Wine shows a desktop build's debug line only through its debug channel, shortened and escaped;
it is held to the others' text as far as it is shown. The device's stand-in writes its line
whole to a file, the port to standard error.

    tests/wine/with-wine.sh python3 tests/wine/differential.py --posix build/host/zembrel \\
        --desktop build/mingw-i686/zembrel.exe --device build/wince-x86/zembrel.exe \\
        --helpers build/wince-x86/tests/wince/wine [--seed N] [--count N]

The test command runs seed 2412, 60 scenarios (about 2.5 minutes), or as many as
ZEMBREL_DIFFERENTIAL_COUNT says (6 where 32-bit code is emulated, where each takes ten to twenty
seconds).

Prints one line per scenario and closes with "N passed, N failed"; a disagreement prints the
scenario and what each build did. Exits 0 when all agree, 1 otherwise, 77 without a Wine session
or without one of the builds.
"""

import argparse
import os
import random
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_suite  # noqa: E402  (the Wine session and its helpers)

REG_HEADER = "Windows Registry Editor Version 5.00"
BLANKS = " \t"
POSIX_STUB = """#!/bin/sh
printf '%s\\0' "$1" > "{record}.tmp" && pwd >> "{record}.tmp" && mv "{record}.tmp" "{record}"
"""


# --- scenarios ---------------------------------------------------------------------------

def build_text(rng):
    """A "Build" text as a device might hold one: blanks, signs, numbers near 389 and far."""
    number = rng.choice(["0", "388", "389", "390", "400", "2147483647", "2147483648", "99999999999",
                         "1", "389389", "00389", ""])
    text = rng.choice(["", " ", "  ", "\t", " \t"]) + rng.choice(["", "", "-", "+"]) + number
    return text + rng.choice(["", "", "abc", " 1", ".5", "x389"])


def command_line(rng):
    words = ["-NoUI", "-SNMP", "-DHCP", "-NoUPGRADE", "-noupgrade", "-NoZEMBRL", " -NoZEMBRL", "x-DHCPx",
             "-snmp", "-NoUi", "/q", "update.cab", "ü", "日本", "%s", "%d", "a\"b"]
    line = "".join(rng.choice(["", " ", "  "]) + rng.choice(words) for _ in range(rng.randrange(5)))
    if rng.random() < 0.15:
        line += " " + "".join(f"{index:03d}," for index in range(rng.randrange(60, 160)))
        if rng.random() < 0.5:
            line += " -NoUPGRADE tail"
    if rng.random() < 0.25:
        line = "".join(rng.choice(BLANKS) for _ in range(rng.randrange(1, 4))) + line.lstrip(BLANKS)
    return line


def scenario(rng, number):
    kind = rng.choice(["sz"] * 6 + ["multi", "expand", "dword", "empty", "novalue", "nokey"])
    if kind == "sz":
        build = ("sz", build_text(rng))
    elif kind == "multi":
        build = ("multi", [build_text(rng) for _ in range(rng.randrange(1, 3))])
    elif kind == "expand":
        build = ("expand", build_text(rng))
    elif kind == "dword":
        build = ("dword", rng.choice([400, 388]))
    elif kind == "empty":
        build = ("sz", "")
    else:
        build = (kind,)
    timeout = rng.choice([None, None, ("dword", 0), ("dword", 1), ("dword", 2), ("dword", 0xFFFFFFFF),
                          ("dword", 20), ("sz", "5")])
    return {"number": number, "build": build, "timeout": timeout, "line": command_line(rng),
            "upgrade": rng.random() < 0.85, "code_before": rng.choice([None, None, 7])}


def utf16_hex(strings, terminators):
    data = "".join(text + "\0" for text in strings) + "\0" * terminators
    return ",".join(f"{byte:02x}" for byte in data.encode("utf-16-le"))


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_file(case, root, delete_first):
    """The scenario's keys as a .reg text under root (HKEY_LOCAL_MACHINE or a test key)."""
    lines = [REG_HEADER, ""]
    if delete_first:
        lines += [f"[-{root}\\Platform]", f"[-{root}\\NetAdmin\\SNMP]", ""]
    build = case["build"]
    if build[0] != "nokey":
        lines.append(f"[{root}\\Platform]")
        if build[0] == "sz":
            lines.append(f'"Build"={quoted(build[1])}')
        elif build[0] == "multi":
            lines.append(f'"Build"=hex(7):{utf16_hex(build[1], 1)}')
        elif build[0] == "expand":
            lines.append(f'"Build"=hex(2):{utf16_hex([build[1]], 0)}')
        elif build[0] == "dword":
            lines.append(f'"Build"=dword:{build[1]:08x}')
        lines.append('"Other"="389"')
        lines.append("")
    timeout, code = case["timeout"], case["code_before"]
    if timeout is not None or code is not None:
        lines.append(f"[{root}\\NetAdmin\\SNMP]")
        if timeout is not None:
            lines.append(f'"ZembrelTimeOut"=dword:{timeout[1]:08x}' if timeout[0] == "dword"
                         else f'"ZembrelTimeOut"={quoted(timeout[1])}')
        if code is not None:
            lines.append(f'"ZembrelCode"=dword:{code:08x}')
        lines.append("")
    return "\ufeff" + "\r\n".join(lines) + "\r\n"


def describe(case):
    return (f"scenario {case['number']}: Build {case['build']!r}, ZembrelTimeOut {case['timeout']!r}, "
            f"ZembrelCode before {case['code_before']!r}, upgrade.exe {'there' if case['upgrade'] else 'missing'}, "
            f"command line {case['line']!r}")


# --- one run on each build -----------------------------------------------------------------

def observation(launched=None, parameters=None, debug=None, dialog=False, first=None, code=None, deleted=False,
                exit_code=None, directory=None):
    return {"launched": launched, "parameters": parameters, "debug": debug, "dialog": dialog, "first": first,
            "code": code, "deleted": deleted, "exit": exit_code, "directory": directory}


def wait_for(path, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if os.path.exists(path):
            return True
        time.sleep(0.02)
    return os.path.exists(path)


def run_posix(binary, case, scratch):
    root = os.path.join(scratch, "posix")
    shutil.rmtree(root, ignore_errors=True)
    windows = os.path.join(root, "Windows")
    os.makedirs(windows)
    registry = os.path.join(root, "registry.reg")
    with open(registry, "w", encoding="utf-16-le", newline="") as reg:
        reg.write(reg_file(case, "HKEY_LOCAL_MACHINE", False))
    installed = os.path.join(windows, "zembrel.exe")
    shutil.copyfile(binary, installed)
    record = os.path.join(windows, "upgrade-args")
    if case["upgrade"]:
        stub = os.path.join(windows, "upgrade.exe")
        with open(stub, "w") as script:
            script.write(POSIX_STUB.format(record=record))
        os.chmod(stub, stat.S_IRWXU)
    env = dict(os.environ, ZEMBREL_ROOT=root)
    args = [binary] + ([case["line"]] if case["line"] else [])
    # Cancel at once: the first value is in the transcript before any event is read.
    done = subprocess.run(args, input=b"command 2\n", capture_output=True, env=env, timeout=60)
    out = done.stdout.decode("utf-8", "replace").splitlines()
    debug = [line[len("Cmd: "):] for line in done.stderr.decode("utf-8", "replace").split("\n")
             if line.startswith("Cmd: ")]
    launched = wait_for(record, 5 if debug else 0.3)
    parameters = directory = None
    if launched:
        with open(record, "rb") as recorded:
            parameters, _, directory = recorded.read().decode("utf-8").partition("\0")
        directory = os.path.relpath(directory.strip(), root).lower()
    counts = [line.rsplit(" ", 1)[1] for line in out if line.startswith("Time out (in Second): ")]
    with open(registry, encoding="utf-16") as reg:
        found = re.search(r'^"ZembrelCode"=dword:([0-9a-f]{8})', reg.read(), re.M | re.I)
    return observation(launched, parameters, debug, bool(out) and out[0] == run_suite.DIALOG_TITLE,
                       counts[0] if counts else None, int(found.group(1), 16) if found else None,
                       not os.path.exists(installed), done.returncode, directory if launched else None)


def run_wine(session, build, case):
    session.use(build)
    session.install(build["exe"], stub=case["upgrade"])
    root = session.hklm.replace("HKLM", "HKEY_LOCAL_MACHINE").replace("HKCU", "HKEY_CURRENT_USER")
    with open(os.path.join(session.work, "differential.reg"), "w", encoding="utf-16-le", newline="") as reg:
        reg.write(reg_file(case, root, True))
    imported = session.run(["regedit", "/s", r"C:\zembrel-test\differential.reg"])
    run_suite.check_equal(imported.code, 0, "regedit /s of the scenario's keys")
    debug_file = os.path.join(session.work, "debug.txt")
    if os.path.exists(debug_file):
        os.remove(debug_file)
    # The watcher first, and watching, before zembrel starts: a countdown of -1 closes its
    # dialog a second after it opens, and a Wine program can take seconds to start (under qemu).
    watcher = session.start([session.windriver, "watch", str(run_suite.IDC_TIMEOUT_VALUE), "60"])
    deadline = time.monotonic() + run_suite.RUN_LIMIT_S
    while time.monotonic() < deadline and watcher.process.poll() is None:
        with open(watcher.out_path, "rb") as seen:
            if seen.read().startswith(b"watching"):
                break
        time.sleep(0.02)
    process = session.start_zembrel(case["line"], exe=session.copy_elsewhere(build["exe"]),
                                    env={"ZEMBREL_DEBUG_FILE": r"C:\zembrel-test\debug.txt"})
    # The countdown's control is there a moment before the dialog's start fills it: where the
    # line asks for a countdown, its first value is the first text it shows within a grace; an
    # attended dialog's control stays empty, and is taken as it is at once.
    counting = any(option in case["line"] for option in ("-NoUI", "-SNMP", "-DHCP"))
    first, cancelled, appeared = None, False, None
    deadline = time.monotonic() + run_suite.RUN_LIMIT_S
    while process.process.poll() is None and time.monotonic() < deadline:
        with open(watcher.out_path, "rb") as seen:
            shown = [line.split() for line in seen.read().decode("utf-8", "replace").splitlines()]
        values = [words for words in shown if words[0] == "at"]
        texts = [words[2] for words in values if len(words) > 2]
        if values and appeared is None:
            appeared = time.monotonic()
        if values and not cancelled and (texts or not counting or time.monotonic() - appeared > 3):
            first = run_suite.decode_hex(texts[0]) if texts else None
            session.windriver_run("post", "command", 2)
            cancelled = True
        time.sleep(0.05)
    run = run_suite.finish(process)
    if watcher.process.poll() is None:
        watcher.process.kill()
    watcher.process.wait()
    session.live = []
    record = session.wait_for_upgrade_record(limit=5 if run.debug else 0.3)
    parameters = directory = None
    if record is not None:
        parameters, directory = run_suite.upgrade_parameters(record)
        directory = os.path.relpath(directory.replace("\\", "/").lower(),
                                    session.device_windows.replace("\\", "/").lower().rsplit("/", 1)[0])
    debug = run.debug
    if build["device"] and os.path.exists(debug_file):
        with open(debug_file, "rb") as text:
            debug = [line[len("Cmd: "):] for line in text.read().decode("utf-16-le").split("\n")
                     if line.startswith("Cmd: ")]
    return observation(record is not None, parameters, debug, run_suite.DIALOG_TITLE in run.windows, first,
                       session.status_code(), not os.path.exists(session.installed), run.exit_code,
                       directory.replace("/", "\\").lower() if directory else None)


# --- the comparison ------------------------------------------------------------------------

def shown_by_wine(text):
    """A debug line as Wine's debug channel shows an ASCII one: quoted, C escapes."""
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\t", "\\t")
    return f'"{escaped}"'


def disagreements(case, posix, desktop, device):
    problems = []
    opening = case["line"][:len(case["line"]) - len(case["line"].lstrip(BLANKS))]
    # What the device's start-up gives WinMain holds the opening blanks: so do its parameters.
    if device["parameters"] is not None:
        if device["parameters"].startswith(opening):
            device = dict(device, parameters=device["parameters"][len(opening):])
        else:
            problems.append(f"the device's parameters {device['parameters']!r} do not open with the line's "
                            f"blanks {opening!r}")
    if device["debug"]:
        device = dict(device, debug=[line[len(opening):] if line.startswith(opening) else line
                                     for line in device["debug"]])
    for field in ("launched", "parameters", "dialog", "first", "code", "deleted", "exit"):
        values = (posix[field], desktop[field], device[field])
        if len(set(map(repr, values))) != 1:
            problems.append(f"{field}: POSIX {values[0]!r}, desktop {values[1]!r}, device {values[2]!r}")
    for name, build in (("POSIX", posix), ("desktop", desktop), ("device", device)):
        if build["launched"] and build["directory"] != "windows":
            problems.append(f"{name} started upgrade.exe in {build['directory']!r}, not \\Windows")
    # The port's and the device's lines are whole: "Cmd: " + the parameters, one line.
    expected = [posix["parameters"]] if posix["parameters"] is not None else []
    if posix["debug"] != expected:
        problems.append(f"POSIX debug lines {posix['debug']!r}, launched with {posix['parameters']!r}")
    if device["debug"] != expected:
        problems.append(f"device debug lines {device['debug']!r}, expected {expected!r}")
    if len(desktop["debug"]) != len(expected):
        problems.append(f"desktop debug lines {desktop['debug']!r}, expected {len(expected)}")
    elif expected and expected[0].isascii():
        full, shown = shown_by_wine("Cmd: " + expected[0] + "\n"), desktop["debug"][0]
        if shown != full and not (shown.endswith('"...') and full.startswith(shown[:-4])):
            problems.append(f"desktop debug line {shown!r} is not {full!r}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--posix", required=True, help="the POSIX port's zembrel")
    parser.add_argument("--desktop", required=True, help="the desktop i686 zembrel.exe")
    parser.add_argument("--device", required=True, help="the device build's zembrel.exe")
    parser.add_argument("--helpers", required=True, help="windriver.exe, upgrade_stub.exe, ceload.exe, COREDLL.dll")
    parser.add_argument("--wine", default=os.environ.get("ZEMBREL_WINE", "wine"))
    parser.add_argument("--seed", type=int, default=2412)
    parser.add_argument("--count", type=int, default=int(os.environ.get("ZEMBREL_DIFFERENTIAL_COUNT", "60")),
                        help="scenarios to run (default: $ZEMBREL_DIFFERENTIAL_COUNT, else 60)")
    options = parser.parse_args()

    missing = [path for path in (options.posix, options.desktop, options.device) if not os.path.exists(path)]
    if missing:
        print(f"SKIP: differential not run: {', '.join(missing)} not built", flush=True)
        return 77
    if not os.environ.get("DISPLAY") or not os.environ.get("WINEPREFIX"):
        print("SKIP: differential not run: no Wine session; run under tests/wine/with-wine.sh", flush=True)
        return 77

    rng = random.Random(options.seed)
    session = run_suite.WineSession(options.wine, os.path.abspath(options.helpers), None)
    desktop = {"exe": os.path.abspath(options.desktop), "device": False}
    device = {"exe": os.path.abspath(options.device), "device": True}
    scratch = tempfile.mkdtemp(prefix="zembrel-differential-")
    passed = failed = 0
    started = time.monotonic()
    try:
        for number in range(options.count):
            case = scenario(rng, number)
            began = time.monotonic()
            try:
                seen = (run_posix(os.path.abspath(options.posix), case, scratch), run_wine(session, desktop, case),
                        run_wine(session, device, case))
                problems = disagreements(case, *seen)
            except run_suite.CaseFailure as error:
                session.end_leftovers()
                seen, problems = None, [f"could not be run: {error}"]
            if problems:
                failed += 1
                print(f"FAIL {describe(case)}", flush=True)
                for problem in problems:
                    print(f"     {problem}", flush=True)
                for name, observed in zip(("POSIX", "desktop", "device"), seen or ()):
                    print(f"     {name}: {observed}", flush=True)
            else:
                passed += 1
                outcome = "hand-off" if seen[0]["launched"] else "dialog" if seen[0]["dialog"] else "nothing"
                print(f"ok   scenario {number}: {outcome}, line {case['line'][:50]!r} "
                      f"({time.monotonic() - began:.1f} s)", flush=True)
    finally:
        session.close()
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"seed {options.seed}, {options.count} scenarios, {time.monotonic() - started:.0f} s", flush=True)
    print(f"{passed} passed, {failed} failed", flush=True)
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
