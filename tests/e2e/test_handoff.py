#!/usr/bin/env python3
"""End-to-end tests of the POSIX zembrel binary's hand-off to the upgrade program."""
# Run as: test_handoff.py /path/to/zembrel [unittest options]

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

ZEMBREL = None

# The stub records its arguments NUL-terminated, then its working directory, and renames the
# record into place last, so a reader never sees half of it.
STUB = """#!/bin/sh
grep '^SigIgn:' /proc/$$/status > '{record}.signals' 2>/dev/null
{{ printf '%s\\0' "$0" "$@"; pwd -P; }} > '{record}.tmp' && mv '{record}.tmp' '{record}'
"""

# SIGPIPE's bit in the SigIgn mask of /proc/PID/status.
SIGPIPE_BIT = 1 << (13 - 1)

REGISTRY = (
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Platform]\n"
    '"Build"="{build}"\n'
)

# zembrel does not wait for the upgrade program, so its record is polled for.
RECORD_TIMEOUT_SECONDS = 10


class HandOff(unittest.TestCase):
    def setUp(self):
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="zembrel-e2e-"))
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.record = os.path.join(self.root, "record")

    def make_device(self, build="400", folder="Windows", upgrade=True, executable=True):
        self.folder = os.path.join(self.root, folder)
        os.makedirs(self.folder)
        with open(os.path.join(self.root, "registry.reg"), "w", encoding="utf-8") as reg:
            reg.write(REGISTRY.format(build=build))
        with open(os.path.join(self.folder, "zembrel.exe"), "wb") as exe:
            exe.write(b"MZ")
        self.upgrade = os.path.join(self.folder, "upgrade.exe")
        if upgrade:
            with open(self.upgrade, "w") as stub:
                stub.write(STUB.format(record=self.record))
            mode = 0o755 if executable else 0o644
            os.chmod(self.upgrade, mode)

    def run_zembrel(self, *args, stderr=subprocess.PIPE, closing=""):
        """Runs zembrel; `closing` names the standard streams (0, 1, 2) it starts without."""
        env = dict(os.environ, ZEMBREL_ROOT=self.root)
        command = [ZEMBREL, *args]
        if closing:
            shut = " ".join("%s>&-" % fd if fd != "0" else "<&-" for fd in closing)
            command = ["sh", "-c", 'exec "$0" "$@" ' + shut, *command]
        return subprocess.run(command, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=stderr, timeout=60)

    def wait_for_record(self):
        deadline = time.monotonic() + RECORD_TIMEOUT_SECONDS
        while not os.path.exists(self.record) and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertTrue(os.path.exists(self.record), "the upgrade program never ran")
        with open(self.record, "rb") as record:
            fields = record.read().split(b"\0")
        return fields[:-1], fields[-1]

    def assert_handed_off(self, args, parameters):
        """Runs zembrel and checks the whole hand-off: exit code, debug line, launch, deletion."""
        self.make_device()
        result = self.run_zembrel(*args)
        self.assertEqual(result.returncode, 1, result.stderr)
        expected = parameters if isinstance(parameters, bytes) else parameters.encode("utf-8")
        self.assertEqual(result.stderr, b"Cmd: " + expected + b"\n")
        argv, cwd = self.wait_for_record()
        self.assertEqual(argv, [self.upgrade.encode(), expected])
        self.assertEqual(cwd, self.folder.encode() + b"\n")
        self.assertFalse(os.path.exists(os.path.join(self.folder, "zembrel.exe")))
        self.assertTrue(os.path.exists(self.upgrade))

    def test_empty_command_line_gets_the_option_alone(self):
        self.assert_handed_off([], " -NoZEMBRL")

    def test_option_is_appended(self):
        self.assert_handed_off(["-DHCP"], "-DHCP -NoZEMBRL")

    def test_noupgrade_and_all_after_it_are_replaced(self):
        self.assert_handed_off(["-DHCP", "-NoUPGRADE", "-SNMP"], "-DHCP  -NoZEMBRL")

    def test_one_argument_holding_the_whole_line_gives_the_same(self):
        self.assert_handed_off(["-DHCP -NoUPGRADE -SNMP"], "-DHCP  -NoZEMBRL")

    def test_blanks_that_open_the_line_are_dropped_as_windows_drops_them(self):
        # The inner and trailing ones stay; so does an empty first argument's space, once it
        # no longer opens the line.
        for args, parameters in (([" \t-DHCP"], "-DHCP -NoZEMBRL"),
                                 (["", "-DHCP \t"], "-DHCP \t -NoZEMBRL"),
                                 ([" \t", " a  b "], "a  b  -NoZEMBRL")):
            with self.subTest(args=args):
                if os.path.isdir(self.root):
                    shutil.rmtree(self.root)
                os.makedirs(self.root)
                self.assert_handed_off(args, parameters)

    def test_lower_case_noupgrade_is_not_the_option(self):
        self.assert_handed_off(["-noupgrade"], "-noupgrade -NoZEMBRL")

    def test_shell_and_format_characters_pass_verbatim(self):
        self.assert_handed_off(["-DHCP", "50%s", "$HOME", "'a b'", "caf\u00e9"],
                               "-DHCP 50%s $HOME 'a b' caf\u00e9 -NoZEMBRL")

    def test_a_2000_character_line_arrives_whole(self):
        words = ["-Opt%04d" % i for i in range(400)]
        line = " ".join(words)[:2000]
        self.assertEqual(len(line), 2000)
        self.assert_handed_off(line.split(" "), line + " -NoZEMBRL")

    def test_build_389_is_compatible(self):
        self.make_device(build="389")
        result = self.run_zembrel("-SNMP")
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stderr, b"Cmd: -SNMP -NoZEMBRL\n")
        argv, _ = self.wait_for_record()
        self.assertEqual(argv[1:], [b"-SNMP -NoZEMBRL"])
        self.assertFalse(os.path.exists(os.path.join(self.folder, "zembrel.exe")))

    def test_lower_case_folder_on_disk_is_matched(self):
        self.make_device(folder="windows")
        result = self.run_zembrel("-DHCP")
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stderr, b"Cmd: -DHCP -NoZEMBRL\n")
        argv, cwd = self.wait_for_record()
        self.assertEqual(argv, [self.upgrade.encode(), b"-DHCP -NoZEMBRL"])
        self.assertEqual(cwd, self.folder.encode() + b"\n")
        self.assertFalse(os.path.exists(os.path.join(self.folder, "zembrel.exe")))

    def test_absent_upgrade_program_launches_nothing(self):
        self.make_device(upgrade=False)
        result = self.run_zembrel("-DHCP")
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertNotIn(b"Cmd:", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "zembrel.exe")))
        self.assertFalse(os.path.exists(self.record))

    def test_upgrade_program_that_is_no_file_is_no_program(self):
        # A FIFO would hold a blocking probe until a writer came; a folder is no program either.
        for make in (os.mkfifo, os.mkdir):
            with self.subTest(make.__name__):
                if os.path.isdir(self.root):
                    shutil.rmtree(self.root)
                os.makedirs(self.root)
                self.make_device(upgrade=False)
                make(self.upgrade)
                result = self.run_zembrel("-DHCP")
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertNotIn(b"Cmd:", result.stderr)
                if make is os.mkfifo:
                    self.assertIn(self.upgrade.encode() + b": not a regular file, so it is not "
                                  b"opened", result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.folder, "zembrel.exe")))

    def test_bytes_that_are_not_utf8_reach_the_upgrade_program_unchanged(self):
        # A lone byte, a truncated sequence, an encoded surrogate, an overlong form, and text.
        args = [b"-DHCP", b"\xff\xfe", b"\xc3", b"\xed\xa0\x80", b"\xc0\xaf", b"caf\xc3\xa9"]
        self.assert_handed_off(args, b" ".join(args) + b" -NoZEMBRL")

    # ---- Streams that cannot be written: only the line is lost -----------------------------

    def test_a_standard_error_nobody_reads_costs_only_the_debug_line(self):
        self.make_device()
        reader, writer = os.pipe()
        os.close(reader)
        try:
            result = self.run_zembrel("-DHCP", "-NoUPGRADE", stderr=writer)
        finally:
            os.close(writer)
        self.assertEqual(result.returncode, 1)
        argv, _ = self.wait_for_record()
        self.assertEqual(argv[1:], [b"-DHCP  -NoZEMBRL"])
        self.assertFalse(os.path.exists(os.path.join(self.folder, "zembrel.exe")))
        # zembrel ignores SIGPIPE for itself only: the upgrade program gets the default.
        signals = self.record + ".signals"
        if os.path.getsize(signals) == 0:
            self.skipTest("no /proc/PID/status here to read the upgrade program's signals from")
        with open(signals) as status:
            ignored = int(status.read().split()[1], 16)
        self.assertFalse(ignored & SIGPIPE_BIT, "SIGPIPE ignored in the upgrade program")

    def test_closed_standard_streams_change_nothing_else(self):
        self.make_device()
        result = self.run_zembrel("-DHCP", stderr=subprocess.DEVNULL, closing="012")
        self.assertEqual(result.returncode, 1)
        argv, _ = self.wait_for_record()
        self.assertEqual(argv[1:], [b"-DHCP -NoZEMBRL"])
        self.assertFalse(os.path.exists(os.path.join(self.folder, "zembrel.exe")))

    # ---- An upgrade program that cannot be started says why, once --------------------------

    def assert_not_started(self, args, parameters, why):
        result = self.run_zembrel(*args)
        # A readable file passes the probe, so the debug line is written before the launch fails.
        self.assertEqual(result.returncode, 1, result.stderr)
        cmd = b"Cmd: " + parameters + b"\n"
        self.assertEqual(result.stderr, cmd + b"zembrel: cannot start " + self.upgrade.encode() +
                         b": " + why + b"\n")
        self.assertFalse(os.path.exists(os.path.join(self.folder, "zembrel.exe")))
        time.sleep(0.2)
        self.assertFalse(os.path.exists(self.record))

    def test_upgrade_program_that_cannot_run_is_survived(self):
        self.make_device(executable=False)
        self.assert_not_started(["-DHCP"], b"-DHCP -NoZEMBRL", b"it is not executable")

    def test_upgrade_program_without_its_interpreter_is_survived(self):
        self.make_device()
        with open(self.upgrade, "w") as stub:
            stub.write("#!/nonexistent/interpreter\n")
        self.assert_not_started(["-DHCP"], b"-DHCP -NoZEMBRL",
                                b"its interpreter or loader is missing (No such file or directory)")

    def test_parameters_over_the_system_limit_are_survived(self):
        if not sys.platform.startswith("linux"):
            self.skipTest("the 128 KiB limit on one argument is Linux's")
        self.make_device()
        # Each half fits in an argument of zembrel's; together they make one that does not.
        halves = ["a" * 70000, "b" * 70000]
        self.assert_not_started(halves, " ".join(halves).encode() + b" -NoZEMBRL",
                                b"its command line is over the system's limit "
                                b"(Argument list too long)")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: test_handoff.py ZEMBREL_BINARY [unittest options]")
    ZEMBREL = os.path.abspath(sys.argv.pop(1))
    unittest.main()
