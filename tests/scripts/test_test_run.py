#!/usr/bin/env python3
# The test run's own decisions against fake package states: install groups, Wine routes, verdict.
"""Drives scripts/setup.sh, scripts/wine-routes.sh and scripts/summary.py with a fake apt-get,
dpkg-query, dpkg and id, so that a green last line can never again hide a skipped step.

    python3 tests/scripts/test_test_run.py
"""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import summary  # noqa: E402

FAKE_TOOLS = {
    # Installed packages are files in $FAKE/installed; names may hold ":i386".
    "dpkg-query": """
        for last; do :; done
        [ -e "$FAKE/installed/$last" ] || exit 1
        echo "install ok installed"
    """,
    "dpkg": """
        case $1 in
        --print-foreign-architectures) cat "$FAKE/arch" 2>/dev/null ;;
        --add-architecture) echo "$2" >>"$FAKE/arch" ;;
        esac
    """,
    "id": 'echo "${FAKE_UID:-0}"',
    "sleep": ":",
    # apt-get: each call is logged; $FAKE/update-failures counts updates that still fail;
    # a package named in $FAKE/broken cannot be installed (and then none of its call is).
    "apt-get": """
        echo "$*" >>"$FAKE/apt.log"
        case " $* " in
        *" update "*)
            failures=$(cat "$FAKE/update-failures" 2>/dev/null || echo 0)
            if [ "$failures" -gt 0 ]; then
                echo $((failures - 1)) >"$FAKE/update-failures"
                echo "E: Failed to fetch http://archive/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?"
                exit 100
            fi
            exit 0 ;;
        esac
        packages=()
        for word; do case $word in -*|install) ;; *) packages+=("$word") ;; esac; done
        for package in "${packages[@]}"; do
            if [ -e "$FAKE/broken/$package" ]; then
                echo "Some packages could not be installed."
                echo "E: Unable to correct problems, you have held broken packages."
                exit 100
            fi
        done
        for package in "${packages[@]}"; do touch "$FAKE/installed/$package"; done
    """,
}

ALL_GROUPS = ("POSIX_PACKAGES", "TEST_PACKAGES", "MINGW_PACKAGES", "WINE64_PACKAGES",
              "WINE32_PACKAGES")


class FakeMachine:
    """A fake Debian machine in a folder: what is installed, what apt can install, who runs."""

    def __init__(self, test):
        self.dir = tempfile.mkdtemp(prefix="zembrel-fake-machine.")
        test.addCleanup(shutil.rmtree, self.dir)
        for sub in ("bin", "installed", "broken", "results"):
            os.mkdir(os.path.join(self.dir, sub))
        for name, body in FAKE_TOOLS.items():
            path = os.path.join(self.dir, "bin", name)
            with open(path, "w") as tool:
                tool.write("#!/bin/bash\n" + textwrap.dedent(body))
            os.chmod(path, 0o755)
        self.uid = 0

    def install(self, *packages):
        for package in packages:
            open(os.path.join(self.dir, "installed", package), "w").close()

    def break_package(self, package):
        open(os.path.join(self.dir, "broken", package), "w").close()

    def fail_updates(self, count):
        with open(os.path.join(self.dir, "update-failures"), "w") as counter:
            counter.write(str(count))

    def apt_calls(self):
        path = os.path.join(self.dir, "apt.log")
        if not os.path.exists(path):
            return []
        with open(path) as log:
            return log.read().splitlines()

    def bash(self, script):
        """Runs SCRIPT after sourcing the test run's scripts; gives (status, output)."""
        env = dict(os.environ, FAKE=self.dir, FAKE_UID=str(self.uid),
                   PATH=os.path.join(self.dir, "bin") + ":" + os.environ["PATH"],
                   TMPDIR=self.dir, ZEMBREL_APT_RETRY_SECONDS="0",
                   ZEMBREL_CACHE=os.path.join(self.dir, "cache"))
        prelude = textwrap.dedent(f"""
            set -uo pipefail
            cd {ROOT}
            . scripts/setup.sh
            . scripts/i386.sh
            . scripts/i386-root.sh
            . scripts/test-steps.sh
            . scripts/wine-routes.sh
            results={self.dir}/results
        """)
        run = subprocess.run(["bash", "-c", prelude + textwrap.dedent(script)], env=env,
                             capture_output=True, text=True, timeout=60)
        return run.returncode, run.stdout + run.stderr


INSTALL_ALL = "".join(f'install_group {group} "${{{array}[@]}}"; echo "{group}=$?"\n'
                      for group, array in (("posix", "POSIX_PACKAGES"), ("mingw", "MINGW_PACKAGES"),
                                           ("wine64", "WINE64_PACKAGES"), ("wine32", "WINE32_PACKAGES")))


class InstallGroups(unittest.TestCase):
    def test_each_group_is_its_own_apt_call_and_wine32_comes_last_and_alone(self):
        machine = FakeMachine(self)
        status, out = machine.bash(INSTALL_ALL)
        self.assertEqual(status, 0, out)
        for group in ("posix", "mingw", "wine64", "wine32"):
            self.assertIn(f"{group}=0", out)
        installs = [call for call in machine.apt_calls() if " install " in f" {call} "]
        self.assertEqual(len(installs), 4, installs)
        self.assertTrue(installs[-1].endswith("--no-install-recommends wine32:i386"), installs)
        # wine32 brings the i386 architecture, and with it one more update.
        self.assertEqual(machine.apt_calls().count("update -q"), 2)
        self.assertEqual(machine.apt_calls()[-2:], ["update -q", installs[-1]])
        with open(os.path.join(machine.dir, "arch")) as arch:
            self.assertEqual(arch.read(), "i386\n")

    def test_an_uninstallable_wine32_costs_only_itself_and_says_apts_reason(self):
        machine = FakeMachine(self)
        machine.break_package("wine32:i386")
        status, out = machine.bash(INSTALL_ALL + 'echo "why=${INSTALL_WHY[wine32]}"')
        self.assertIn("posix=0", out)
        self.assertIn("mingw=0", out)
        self.assertIn("wine64=0", out)
        self.assertIn("wine32=1", out)
        self.assertIn("why=wine32:i386 cannot be installed: "
                      "E: Unable to correct problems, you have held broken packages.", out)

    def test_a_flaky_update_is_tried_again_and_a_failing_one_is_reported(self):
        machine = FakeMachine(self)
        machine.fail_updates(2)
        status, out = machine.bash('install_group mingw "${MINGW_PACKAGES[@]}"; echo "mingw=$?"')
        self.assertIn("mingw=0", out)
        self.assertEqual(machine.apt_calls().count("update -q"), 3)

        machine = FakeMachine(self)
        machine.fail_updates(99)
        machine.bash("dpkg --add-architecture i386")
        machine.break_package("wine32:i386")
        status, out = machine.bash(INSTALL_ALL + 'echo "why=${INSTALL_WHY[wine32]}"')
        self.assertEqual(machine.apt_calls().count("update -q"), 3)
        self.assertIn("mingw=0", out)  # the lists that did download still serve
        self.assertRegex(out, r"why=wine32:i386 cannot be installed: .*held broken packages.*"
                              r"apt-get update failed: E: Failed to fetch .*Mirror sync")

    def test_without_root_nothing_is_installed_and_the_fix_is_named(self):
        machine = FakeMachine(self)
        machine.uid = 1000
        machine.install("mingw-w64")
        status, out = machine.bash(INSTALL_ALL + 'echo "why=${INSTALL_WHY[mingw]}"')
        self.assertEqual(machine.apt_calls(), [])
        self.assertIn("why=missing python3-pefile (as root: apt-get install python3-pefile)", out)


# What the Wine routes decide; the probes that would start programs are answered by the test.
PLAN = """
    {probes}
    wine_plan mingw-x64 mingw-i686 interop wince-x86
    [ ${{#wine_sessions[@]}} -eq 0 ] || printf 'session: %s\\n' "${{wine_sessions[@]}}"
    echo "route: $WINE_ROUTE"
    step "host" passed "ctest"
    summarise
"""


def plan(machine, probes):
    return machine.bash(PLAN.format(probes=probes))


class WineRoutes(unittest.TestCase):
    def machine_with(self, *arrays):
        machine = FakeMachine(self)
        names = machine.bash("".join(f'printf "%s\\n" "${{{array}[@]}}"\n' for array in arrays))[1]
        machine.install(*names.split())
        return machine

    def test_wine32_installed_on_a_32_bit_kernel_runs_both_builds_in_one_session(self):
        machine = self.machine_with(*ALL_GROUPS)
        status, out = plan(machine, "kernel_runs_i386() { true; }; wine64_starts() { true; }; "
                                    "wine32_starts() { true; }; i386_emulation_stop() { :; }")
        self.assertIn("session: wow interop mingw-i686 mingw-x64\n", out)
        self.assertIn("session: wow wince-x86\n", out)
        self.assertEqual(out.splitlines()[-1], "all builds and tests passed")
        self.assertEqual(status, 0)

    def test_emulated_32_bit_code_runs_the_32_bit_builds_in_sessions_side_by_side(self):
        machine = self.machine_with(*ALL_GROUPS)
        status, out = plan(machine, "kernel_runs_i386() { false; }; wine64_starts() { true; }; "
                                    "wine32_starts() { true; }; i386_emulation_stop() { :; }; "
                                    "i386_emulation_start() { true; }")
        sessions = [line for line in out.splitlines() if line.startswith("session:")]
        self.assertEqual(sessions, ["session: wow mingw-i686:suite",
                                    "session: wow interop mingw-i686:keys",
                                    "session: wow wince-x86", "session: win64 mingw-x64"])
        self.assertIn("6 differential scenarios, not 60", out)

    def test_without_wine32_the_x64_build_runs_on_its_own_and_i686_in_the_private_root(self):
        machine = self.machine_with("POSIX_PACKAGES", "TEST_PACKAGES", "MINGW_PACKAGES",
                                    "WINE64_PACKAGES")
        status, out = plan(machine, "kernel_runs_i386() { true; }; wine64_starts() { true; }; "
                                    "i386_root_usable() { true; }; i386_emulation_stop() { :; }")
        self.assertIn("session: chroot mingw-i686 wince-x86", out)
        self.assertIn("session: win64 interop mingw-x64", out)
        self.assertEqual(out.count("session:"), 2)

    def test_without_wine32_or_a_private_root_the_i686_suite_is_named_as_not_run(self):
        machine = self.machine_with("POSIX_PACKAGES", "TEST_PACKAGES", "MINGW_PACKAGES",
                                    "WINE64_PACKAGES")
        machine.break_package("wine32:i386")
        status, out = plan(machine, 'install_group wine32 "${WINE32_PACKAGES[@]}"; '
                                    "kernel_runs_i386() { true; }; wine64_starts() { true; }; "
                                    "i386_emulation_stop() { :; }; ZEMBREL_I386_ROOT=0")
        self.assertIn("session: win64 interop mingw-x64", out)
        self.assertEqual(out.count("session:"), 1)
        last = out.splitlines()[-1]
        self.assertTrue(last.startswith("passed; not run: wine-mingw-i686 (wine32:i386 is not "
                                        "installed (wine32:i386 cannot be installed: E: Unable"),
                        last)
        self.assertIn("ZEMBREL_I386_ROOT=0", last)
        self.assertIn("wine-wince-x86 (wine32:i386 is not installed", last)
        self.assertNotIn("all builds and tests passed", out)
        self.assertEqual(status, 0)

    def test_no_wine_at_all_is_a_failure_with_the_command_that_fixes_it(self):
        machine = self.machine_with("POSIX_PACKAGES", "TEST_PACKAGES", "MINGW_PACKAGES")
        machine.uid = 1000
        status, out = plan(machine, 'install_group wine64 "${WINE64_PACKAGES[@]}"')
        self.assertEqual(out.count("session:"), 0)
        last = out.splitlines()[-1]
        self.assertTrue(last.startswith("FAILED: Wine (could not run: missing wine wine64"), last)
        self.assertIn("(as root: apt-get install wine wine64", last)
        self.assertEqual(status, 1)

    def test_a_32_bit_side_that_cannot_run_leaves_x64_under_the_64_bit_loader(self):
        machine = self.machine_with(*ALL_GROUPS)
        status, out = plan(machine, "kernel_runs_i386() { false; }; wine64_starts() { true; }; "
                                    "i386_emulation_stop() { :; }; ZEMBREL_I386_EMULATION=0")
        self.assertIn("session: win64 interop mingw-x64", out)
        self.assertIn("not run: wine-mingw-i686 (this kernel runs no 32-bit x86 code, and "
                      "emulation is turned off", out.splitlines()[-1])
        self.assertIn("wine-wince-x86 (this kernel runs no 32-bit x86 code", out.splitlines()[-1])


def junit(path, *cases):
    """Writes a ctest-like JUnit report: each case (name, 'run'|'fail'|'notrun', output)."""
    with open(path, "w") as report:
        report.write('<?xml version="1.0"?>\n<testsuite>\n')
        for name, status, output in cases:
            inner = {"fail": '<failure message="Failed"/>',
                     "notrun": '<skipped message="SKIP_RETURN_CODE=77"/>',
                     "missing": '<skipped message="Unable to find executable"/>'}.get(status, "")
            status = "notrun" if status == "missing" else status
            report.write(f'<testcase name="{name}" status="{status}">{inner}'
                         f'<system-out>{output}</system-out></testcase>\n')
        report.write("</testsuite>\n")


class Verdict(unittest.TestCase):
    def verdict(self, steps, reports=()):
        results = tempfile.mkdtemp(prefix="zembrel-results.")
        self.addCleanup(shutil.rmtree, results)
        for name, cases in reports:
            junit(os.path.join(results, name + ".xml"), *cases)
        with tempfile.TemporaryFile("w+") as out:
            status = summary.summarise(results, steps, out)
            out.seek(0)
            lines = out.read().splitlines()
        return status, lines

    def test_all_passed_only_when_every_step_and_test_ran(self):
        status, lines = self.verdict(["host|passed|ctest", "mingw-x64 build|passed|built"],
                                     [("host", [("a", "run", ""), ("b", "run", "")])])
        self.assertEqual(lines[-1], "all builds and tests passed")
        self.assertEqual(lines[-2], "total: 3 passed, 0 failed, 0 skipped")
        self.assertEqual(status, 0)

    def test_a_test_skipped_inside_a_passing_step_is_named_with_its_reason(self):
        gtest = "[ RUN      ] T.Case\n/x/test.cpp:147: Skipped\nroot reads any file\n"
        script = "SKIPPED: tmux is not installed\n"
        status, lines = self.verdict(["host|passed|ctest"],
                                     [("host", [("T.Case", "notrun", gtest),
                                                ("e2e_terminal", "notrun", script),
                                                ("ok", "run", "")])])
        self.assertEqual(lines[-1], "passed; not run: host: T.Case (root reads any file), "
                                    "host: e2e_terminal (tmux is not installed)")
        self.assertEqual(status, 0)

    def test_a_skipped_step_or_a_failure_decides_the_last_line(self):
        status, lines = self.verdict(["host|passed|ctest",
                                      "wine-mingw-i686|skipped|wine32:i386 cannot be installed"])
        self.assertEqual(lines[-1], "passed; not run: wine-mingw-i686 "
                                    "(wine32:i386 cannot be installed)")
        self.assertEqual(status, 0)

        status, lines = self.verdict(["host|FAILED|ctest --preset host",
                                      "Wine|FAILED|could not run: missing wine",
                                      "fuzz|skipped|no libFuzzer"],
                                     [("host", [("a", "fail", ""), ("b", "run", "")])])
        self.assertEqual(lines[-1], "FAILED: host: a, Wine (could not run: missing wine); "
                                    "not run: fuzz (no libFuzzer)")
        self.assertEqual(status, 1)

    def test_a_test_whose_program_could_not_start_is_a_failure_not_a_skip(self):
        status, lines = self.verdict(["wine|FAILED|ctest"], [("wine", [("suite", "missing", "")])])
        self.assertEqual(lines[-1], "FAILED: wine: suite (Unable to find executable)")
        self.assertEqual(status, 1)

    def test_a_run_of_nothing_is_no_pass(self):
        status, lines = self.verdict([])
        self.assertEqual(lines[-1], "FAILED: nothing ran")
        self.assertEqual(status, 1)
        # A step whose ctest found no test at all, as ctest reports it: exit 0, tests="0".
        status, lines = self.verdict(["host|passed|ctest", "wine-mingw-x64|passed|under Wine"],
                                     [("host", [("a", "run", "")]), ("wine-mingw-x64", [])])
        self.assertEqual(lines[-1], "FAILED: wine-mingw-x64 (ran no test)")
        self.assertEqual(status, 1)


if __name__ == "__main__":
    unittest.main()
