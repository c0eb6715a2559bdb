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
{{ printf '%s\\0' "$0" "$@"; pwd -P; }} > '{record}.tmp' && mv '{record}.tmp' '{record}'
"""

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

    def run_zembrel(self, *args):
        env = dict(os.environ, ZEMBREL_ROOT=self.root)
        return subprocess.run([ZEMBREL, *args], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)

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
        expected = parameters.encode("utf-8")
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

    def test_upgrade_program_that_cannot_run_is_survived(self):
        self.make_device(executable=False)
        result = self.run_zembrel("-DHCP")
        # A readable file passes the probe, so the line is written before the launch fails.
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stderr, b"Cmd: -DHCP -NoZEMBRL\n")
        self.assertFalse(os.path.exists(os.path.join(self.folder, "zembrel.exe")))
        # Nothing ran it another way (through a shell, or after making it executable).
        self.assertFalse(os.path.exists(self.record))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: test_handoff.py ZEMBREL_BINARY [unittest options]")
    ZEMBREL = os.path.abspath(sys.argv.pop(1))
    unittest.main()
