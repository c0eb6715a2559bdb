#!/usr/bin/env python3
# The closing summary of test-all.sh: each step, its tests' counts, the totals and the verdict.
"""summary.py RESULTS_DIR STEP...

Each STEP is "name|state|what" (state: passed, FAILED or skipped; for a step that did not
run, "what" is the reason). A step whose tests ran has RESULTS_DIR/<name>.xml, ctest's JUnit
report, and is counted test by test; any other step counts as one.

The last line printed is the verdict, and says exactly what ran:
  "all builds and tests passed"            every step ran and no test in one was skipped;
  "passed; not run: NAME (REASON), ..."    nothing failed, but a step or a test did not run;
  "FAILED: NAME, ...; not run: ..."        a step or a test failed (exit status 1).
A skipped step or test is never counted as a pass, and a step whose report holds no test
at all failed.
"""

import os
import re
import sys
import xml.etree.ElementTree as ElementTree


def skip_reason(case):
    """The one line a skipped test gave for itself, as GoogleTest or our scripts print it."""
    out = case.findtext("system-out") or ""
    lines = [line.strip() for line in out.splitlines()]
    for number, line in enumerate(lines):
        if line.endswith(": Skipped"):  # GoogleTest: the reason follows on the next line
            following = [rest for rest in lines[number + 1:] if rest]
            if following:
                return following[0]
        match = re.match(r"^(?:== )?SKIP(?:PED|PING)?\b:?\s*(.*)$", line, re.IGNORECASE)
        if match and match.group(1):
            return match.group(1)
    return "skipped, no reason given"


def junit_counts(path):
    """(passed, failed, skipped, [(failed test)], [(skipped test, reason)]) of a JUnit report."""
    passed = failed = skipped = 0
    failed_names, skipped_names = [], []
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        status = case.get("status", "")
        name = case.get("name", "?")
        skip = case.find("skipped")
        # ctest marks a test that could not even start (its program missing) "notrun" too:
        # only one that asked to be skipped is a skip.
        if skip is not None and "SKIP" not in skip.get("message", "SKIP"):
            failed += 1
            failed_names.append(f"{name} ({skip.get('message')})")
        elif skip is not None or status in ("notrun", "disabled"):
            skipped += 1
            skipped_names.append((name, skip_reason(case)))
        elif case.find("failure") is not None or case.find("error") is not None or status == "fail":
            failed += 1
            failed_names.append(name)
        else:
            passed += 1
    return passed, failed, skipped, failed_names, skipped_names


def summarise(results, steps, out=sys.stdout):
    """Prints the table, the totals and the verdict; gives the exit status."""
    totals = [0, 0, 0]
    failed, not_run = [], []
    for step in steps:
        name, state, what = step.split("|", 2)
        report = os.path.join(results, name + ".xml")
        if os.path.exists(report):
            passed, failures, skips, failed_tests, skipped_tests = junit_counts(report)
            detail = f"{passed} passed, {failures} failed, {skips} skipped"
            if passed + failures + skips == 0 and state != "skipped":
                # ctest that finds no test (a filter that matches none, a test registered
                # only when a tool was found) exits 0: a step that ran nothing passed nothing.
                state, what = "FAILED", "ran no test"
            if state == "FAILED" and failures == 0:
                failures = 1  # the step failed outside its tests
                failed.append(f"{name} ({what})")
            failed += [f"{name}: {test}" for test in failed_tests]
            not_run += [f"{name}: {test} ({reason})" for test, reason in skipped_tests]
            if state == "skipped" and not skipped_tests:
                skips += 1
                not_run.append(f"{name} ({what})")
            counts = (passed, failures, skips)
        else:
            counts = {"passed": (1, 0, 0), "FAILED": (0, 1, 0), "skipped": (0, 0, 1)}[state]
            detail = what
            if state == "FAILED":
                failed.append(f"{name} ({what})")
            elif state == "skipped":
                not_run.append(f"{name} ({what})")
        totals = [total + count for total, count in zip(totals, counts)]
        print(f"  {name:<22} {state:<8} {detail}", file=out)
    print("total: {} passed, {} failed, {} skipped".format(*totals), file=out)
    for name in not_run:
        print(f"  not run: {name}", file=out)
    if failed:
        verdict = "FAILED: " + ", ".join(failed)
        if not_run:
            verdict += "; not run: " + ", ".join(not_run)
    elif not_run:
        verdict = "passed; not run: " + ", ".join(not_run)
    elif not steps:
        verdict = "FAILED: nothing ran"
    else:
        verdict = "all builds and tests passed"
    print(verdict, file=out)
    return 1 if failed or not steps else 0


if __name__ == "__main__":
    sys.exit(summarise(sys.argv[1], sys.argv[2:]))
