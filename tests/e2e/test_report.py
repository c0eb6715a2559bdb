#!/usr/bin/env python3
"""End-to-end tests of the POSIX zembrel binary's refusal: the headless dialog and the registry."""
# Run as: test_report.py /path/to/zembrel [unittest options]

import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ZEMBREL = None

# Comments, blank lines and a neighbouring value that every write must keep as they are.
REGISTRY = (
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; the terminal's firmware\r\n"
    "[HKEY_LOCAL_MACHINE\\Platform]\r\n"
    '"Build"="{build}"\r\n'
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\NetAdmin\\SNMP]\r\n"
    '"Community"="public"\r\n'
    "{timeout}"
    "\r\n"
    "; end\r\n"
)

TITLE_AND_MESSAGE = [
    "Firmware Add-on Error",
    "Cannot add this firmware to the incompatible installed firmware.",
    "The current installed firmware must be Version 3.42 (Build 389) or higher.",
]


class Refusal(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="zembrel-e2e-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        os.makedirs(os.path.join(self.root, "Windows"))
        self.exe = os.path.join(self.root, "Windows", "zembrel.exe")
        with open(self.exe, "wb") as exe:
            exe.write(b"MZ")
        self.registry = os.path.join(self.root, "registry.reg")

    def make_registry(self, build="350", timeout=None):
        line = "" if timeout is None else '"ZembrelTimeOut"=dword:%08x\r\n' % (timeout & 0xFFFFFFFF)
        text = REGISTRY.format(build=build, timeout=line)
        with open(self.registry, "w", encoding="utf-8", newline="") as reg:
            reg.write(text)
        return text

    def registry_text(self):
        with open(self.registry, encoding="utf-8", newline="") as reg:
            return reg.read()

    def start(self, *args):
        env = dict(os.environ, ZEMBREL_ROOT=self.root)
        return subprocess.Popen([ZEMBREL, *args], env=env, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def read_lines(self, process):
        """Collects the transcript with the time each line arrived, while the process runs."""
        lines = []

        def reader():
            for line in process.stdout:
                lines.append((time.monotonic(), line.rstrip("\n")))

        thread = threading.Thread(target=reader, daemon=True)
        thread.start()
        return lines, thread

    def finish(self, process, thread, limit=30):
        process.wait(timeout=limit)
        thread.join(timeout=5)
        stderr = process.stderr.read()
        for stream in (process.stdin, process.stdout, process.stderr):
            if not stream.closed:
                stream.close()
        return stderr

    def run_scripted(self, args, script, limit=30):
        """Runs zembrel with its events written up front; returns the process, lines, stderr."""
        process = self.start(*args)
        lines, thread = self.read_lines(process)
        process.stdin.write(script)
        process.stdin.flush()
        return process, lines, self.finish(process, thread, limit)

    def test_unattended_countdown_ends_by_itself_and_leaves_the_status_code(self):
        before = self.make_registry(timeout=2)
        started = time.monotonic()
        process = self.start("-SNMP", "-NoUPGRADE")
        lines, thread = self.read_lines(process)
        stderr = self.finish(process, thread)
        elapsed = time.monotonic() - started

        self.assertEqual(process.returncode, 1, stderr)
        self.assertEqual([text for _, text in lines], TITLE_AND_MESSAGE + [
            "Time out (in Second): 2",
            "Time out (in Second): 1",
            "Time out (in Second): 0",
            "EndDialog: 1",
        ])
        # Tick k is due k seconds after the dialog opened, and a loaded machine may deliver it
        # late but never early; the dialog closes on the tick after 0.
        shown = [at for at, text in lines if text.startswith("Time out")]
        for k, at in enumerate(shown):
            self.assertGreaterEqual(at - started, k, f"number {k} came early")
        self.assertGreaterEqual(elapsed, 3)
        self.assertLess(elapsed, 15)

        expected = before.replace('"ZembrelTimeOut"=dword:00000002\r\n',
                                  '"ZembrelTimeOut"=dword:00000002\r\n'
                                  '"ZembrelCode"=dword:0000001d\r\n')
        self.assertEqual(self.registry_text(), expected)
        self.assertFalse(os.path.exists(self.exe))
        self.assertEqual(stderr, "")

    def test_a_signal_during_the_dialog_closes_it_and_the_run_ends_as_usual(self):
        import signal
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGQUIT, signal.SIGHUP):
            with self.subTest(signal.Signals(number).name):
                with open(self.exe, "wb") as exe:
                    exe.write(b"MZ")
                before = self.make_registry(timeout=30)
                process = self.start("-SNMP")
                lines, thread = self.read_lines(process)
                deadline = time.monotonic() + 20
                while not any(text.startswith("Time out") for _, text in lines):
                    self.assertLess(time.monotonic(), deadline, "the countdown never showed")
                    time.sleep(0.02)
                process.send_signal(number)
                stderr = self.finish(process, thread, limit=20)
                self.assertEqual(process.returncode, 1, stderr)
                self.assertEqual(lines[-1][1], "EndDialog: 2")
                self.assertEqual(self.registry_text(), before.replace(
                    '"ZembrelTimeOut"=dword:0000001e\r\n',
                    '"ZembrelTimeOut"=dword:0000001e\r\n"ZembrelCode"=dword:0000001d\r\n'))
                self.assertFalse(os.path.exists(self.exe))

    def test_attended_refusal_cancelled_by_a_script_writes_nothing(self):
        before = self.make_registry(timeout=2)
        process, lines, stderr = self.run_scripted(["-snmp", "-NoUi"], "# cancel it\n\ncommand 2\n")

        self.assertEqual(process.returncode, 1, stderr)
        self.assertEqual([text for _, text in lines], TITLE_AND_MESSAGE + ["EndDialog: 2"])
        self.assertEqual(self.registry_text(), before)
        self.assertFalse(os.path.exists(self.exe))

    def test_system_key_freezes_the_countdown_until_a_command_ends_it(self):
        self.make_registry(timeout=30)
        process = self.start("-DHCP")
        lines, thread = self.read_lines(process)
        process.stdin.write("syskeydown 0x12\n")
        process.stdin.flush()
        time.sleep(2.5)  # long enough for two ticks, had the countdown gone on
        process.stdin.write("syskeyup MENU\ncommand 16\n")
        process.stdin.flush()
        stderr = self.finish(process, thread)

        self.assertEqual(process.returncode, 1, stderr)
        texts = [text for _, text in lines]
        self.assertEqual(texts[-1], "EndDialog: 2")
        countdown = [text for text in texts if text.startswith("Time out")]
        self.assertEqual(countdown, ["Time out (in Second): 30"])
        self.assertIn('"ZembrelCode"=dword:0000001d', self.registry_text())

    def test_alt_f4_closes_an_unattended_dialog(self):
        self.make_registry()  # no ZembrelTimeOut: fifteen seconds
        process, lines, stderr = self.run_scripted(["-NoUI"], "syskeydown F4\n", limit=10)

        self.assertEqual(process.returncode, 1, stderr)
        texts = [text for _, text in lines]
        self.assertEqual(texts[len(TITLE_AND_MESSAGE)], "Time out (in Second): 15")
        self.assertEqual(texts[-1], "EndDialog: 2")
        self.assertIn('"ZembrelCode"=dword:0000001d', self.registry_text())

    def test_unknown_events_are_reported_escaped_and_ignored(self):
        self.make_registry()
        process = self.start()
        lines, thread = self.read_lines(process)
        # Cancel followed by junk after a NUL is no Cancel; an escape sequence is not passed on.
        process.stdin.write("press the button\ncommand 2\0junk\n\x1b]0;title\x07\ncommand 1\n")
        process.stdin.close()
        stderr = self.finish(process, thread)

        self.assertEqual(process.returncode, 1)
        self.assertEqual(stderr, "zembrel: unknown event: press the button\n"
                                 "zembrel: unknown event: command 2\\x00junk\n"
                                 "zembrel: unknown event: \\x1b]0;title\\x07\n")
        self.assertEqual([text for _, text in lines][-1], "EndDialog: 1")

    # ---- Streams that are closed, go away or never end -------------------------------------

    def assert_run_complete(self, process, before, timeout):
        """Whatever became of the streams: exit 1, the status code stored and only it, no exe."""
        self.assertEqual(process.returncode, 1, process.stderr)
        line = '"ZembrelTimeOut"=dword:%08x\r\n' % timeout
        self.assertEqual(self.registry_text(),
                         before.replace(line, line + '"ZembrelCode"=dword:0000001d\r\n'))
        self.assertFalse(os.path.exists(self.exe))

    def test_a_reader_that_goes_away_costs_only_the_transcript(self):
        # As zembrel -SNMP | head -1, with standard error gone as well.
        before = self.make_registry(timeout=1)
        reader, writer = os.pipe()
        os.close(reader)
        env = dict(os.environ, ZEMBREL_ROOT=self.root)
        try:
            process = subprocess.Popen([ZEMBREL, "-SNMP"], env=env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=writer)
        finally:
            os.close(writer)
        self.assertEqual(process.stdout.readline(), b"Firmware Add-on Error\n")
        process.stdout.close()
        process.wait(timeout=30)
        self.assert_run_complete(process, before, 1)

    def test_closed_standard_streams_leave_the_registry_as_it_should_be(self):
        before = self.make_registry(timeout=0)
        env = dict(os.environ, ZEMBREL_ROOT=self.root)
        process = subprocess.run(["sh", "-c", 'exec "$0" "$@" <&- >&- 2>&-', ZEMBREL, "-NoUI"],
                                 env=env, timeout=30)
        self.assert_run_complete(process, before, 0)

    def test_endless_input_does_not_hold_the_countdown(self):
        before = self.make_registry(timeout=0)
        env = dict(os.environ, ZEMBREL_ROOT=self.root)
        with open("/dev/zero", "rb") as zero:
            process = subprocess.run([ZEMBREL, "-DHCP"], env=env, stdin=zero,
                                     capture_output=True, text=True, timeout=20)
        self.assert_run_complete(process, before, 0)
        self.assertEqual(process.stdout.splitlines()[-2:],
                         ["Time out (in Second): 0", "EndDialog: 1"])
        self.assertEqual(process.stderr.count("\n"), 1, process.stderr)

    def test_unreadable_build_is_refused(self):
        for build_line in ('"Build"=dword:00000190', '"Build"=""', '"Other"="400"'):
            with self.subTest(build_line=build_line):
                text = self.make_registry().replace('"Build"="350"', build_line)
                with open(self.registry, "w", encoding="utf-8", newline="") as reg:
                    reg.write(text)
                process, lines, stderr = self.run_scripted(["-NoUPGRADE"], "command 2\n")
                self.assertEqual(process.returncode, 1, stderr)
                self.assertEqual([t for _, t in lines], TITLE_AND_MESSAGE + ["EndDialog: 2"])
                self.assertNotIn("Cmd:", stderr)

    def test_missing_registry_file_is_refused_and_creates_the_status_key(self):
        process, lines, stderr = self.run_scripted(["x-DHCPx"], "command 16\n")
        self.assertEqual(process.returncode, 1, stderr)
        text = self.registry_text()
        self.assertTrue(text.startswith("Windows Registry Editor Version 5.00\n"), text)
        self.assertIn("[HKEY_LOCAL_MACHINE\\NetAdmin\\SNMP]\n", text)
        self.assertIn('"ZembrelCode"=dword:0000001d\n', text)


if __name__ == "__main__":
    ZEMBREL = os.path.abspath(sys.argv.pop(1))
    unittest.main()
