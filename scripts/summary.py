#!/usr/bin/env python3
# The closing summary of test-all.sh: each step, its tests' counts, and the totals.
"""summary.py RESULTS_DIR STEP...

Each STEP is "name|state|what" (state: passed, FAILED or skipped). A step whose tests ran
has RESULTS_DIR/<name>.xml, ctest's JUnit report, and is counted test by test; any other
step counts as one. A skipped step is never a pass: it is counted as skipped.
"""

import os
import sys
import xml.etree.ElementTree as ElementTree


def junit_counts(path):
    """(passed, failed, skipped) of a ctest JUnit report."""
    passed = failed = skipped = 0
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        status = case.get("status", "")
        if case.find("skipped") is not None or status in ("notrun", "disabled"):
            skipped += 1
        elif case.find("failure") is not None or case.find("error") is not None or status == "fail":
            failed += 1
        else:
            passed += 1
    return passed, failed, skipped


def main():
    results, steps = sys.argv[1], sys.argv[2:]
    totals = [0, 0, 0]
    for step in steps:
        name, state, what = step.split("|", 2)
        report = os.path.join(results, name + ".xml")
        if os.path.exists(report):
            counts = junit_counts(report)
            detail = "{} passed, {} failed, {} skipped".format(*counts)
            if state == "FAILED" and counts[1] == 0:
                counts = (counts[0], 1, counts[2])  # the step failed outside its tests
        else:
            counts = {"passed": (1, 0, 0), "FAILED": (0, 1, 0), "skipped": (0, 0, 1)}[state]
            detail = what
        totals = [total + count for total, count in zip(totals, counts)]
        print(f"  {name:<22} {state:<8} {detail}")
    print("total: {} passed, {} failed, {} skipped".format(*totals))


if __name__ == "__main__":
    main()
