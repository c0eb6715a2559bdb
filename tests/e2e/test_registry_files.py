#!/usr/bin/env python3
"""End-to-end tests of the POSIX zembrel binary with an odd or busy registry file."""
# Run as: test_registry_files.py /path/to/zembrel [unittest options]

import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

ZEMBREL = None

REGISTRY = (
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_LOCAL_MACHINE\\Platform]\n"
    '"Build"="350"\n\n'
    "[HKEY_LOCAL_MACHINE\\NetAdmin\\SNMP]\n"
    '"ZembrelTimeOut"=dword:00000000\n'
)


class RegistryFiles(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="zembrel-e2e-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        os.makedirs(os.path.join(self.root, "Windows"))
        with open(os.path.join(self.root, "Windows", "zembrel.exe"), "wb") as exe:
            exe.write(b"MZ")
        self.registry = os.path.join(self.root, "registry.reg")

    def write_registry(self, text=REGISTRY):
        with open(self.registry, "w", encoding="utf-8", newline="") as reg:
            reg.write(text)

    def run_zembrel(self, args, events="", root=None):
        """Runs zembrel headless with the events as its input; returns exit code and stderr."""
        env = dict(os.environ, ZEMBREL_ROOT=root or self.root)
        done = subprocess.run([ZEMBREL, *args], env=env, input=events, capture_output=True,
                              text=True, timeout=60)
        return done.returncode, done.stderr

    def assert_said_once(self, stderr, line):
        self.assertEqual(stderr.count(line), 1, stderr)

    def test_lock_held_by_another_process_costs_the_status_code_and_no_more(self):
        self.write_registry()
        with open(self.registry + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_SH)
            started = time.monotonic()
            code, stderr = self.run_zembrel(["-SNMP"])
            waited = time.monotonic() - started
        self.assertEqual(code, 1, stderr)
        self.assertGreaterEqual(waited, 4.9)
        self.assert_said_once(stderr, "zembrel: %s.lock: another process has held the writers' "
                                      "lock for 5 seconds, so nothing is written\n" % self.registry)
        with open(self.registry, encoding="utf-8", newline="") as reg:
            self.assertEqual(reg.read(), REGISTRY)

    def test_fifo_as_registry_is_unreadable_and_the_run_goes_on(self):
        os.mkfifo(self.registry)
        code, stderr = self.run_zembrel(["-NoUPGRADE"], "command 2\n")
        self.assertEqual(code, 1, stderr)
        self.assert_said_once(stderr, "zembrel: %s: cannot be read (not a regular file)\n"
                              % self.registry)

    def test_folder_as_registry_refuses_the_upgrade_and_says_why(self):
        os.mkdir(self.registry)
        code, stderr = self.run_zembrel(["-NoUI"], "command 2\n")
        self.assertEqual(code, 1, stderr)
        self.assertNotIn("Cmd:", stderr)
        self.assert_said_once(stderr, "zembrel: %s: cannot be read (Is a directory)\n"
                              % self.registry)

    def test_missing_device_root_is_named_as_such(self):
        root = os.path.join(self.root, "missing")
        code, stderr = self.run_zembrel(["-NoUI"], "command 2\n", root=root)
        self.assertEqual(code, 1, stderr)
        self.assert_said_once(stderr, "zembrel: %s: the device root does not exist (No such "
                                      "file or directory)\n" % root)
        self.assertNotIn("read-only", stderr)
        self.assertFalse(os.path.exists(root))


if __name__ == "__main__":
    ZEMBREL = os.path.abspath(sys.argv.pop(1))
    unittest.main()
