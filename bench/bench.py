#!/usr/bin/env python3
"""Measures zembrel's hand-off against the least a hand-off can cost, and the registry store on
generated registry files of growing size. Prints tables in Markdown; passes or fails nothing.
Run through bench/run.sh, which builds what this needs."""
import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

VALUES_PER_KEY = 100
COUNTDOWN = 1.0  # ZembrelTimeOut 0: the dialog closes on its first tick, a second after it opens


def registry_text(values, build):
    """A registry export of `values` values, one key per hundred; Platform's Build and
    NetAdmin\\SNMP's ZembrelTimeOut (0) last, where a reader must go through all the rest."""
    parts = ["Windows Registry Editor Version 5.00\n"]
    for index in range(values - 2):
        if index % VALUES_PER_KEY == 0:
            parts.append("\n[HKEY_LOCAL_MACHINE\\Software\\Vendor\\Key%d]\n" % (index // VALUES_PER_KEY))
        parts.append('"Value%d"="some text"\n' % index)
    parts.append('\n[HKEY_LOCAL_MACHINE\\Platform]\n"Build"="%d"\n' % build)
    parts.append('\n[HKEY_LOCAL_MACHINE\\NetAdmin\\SNMP]\n"ZembrelTimeOut"=dword:00000000\n')
    return "".join(parts)


def small_registry(build):
    """About 4 KiB: the keys zembrel reads among a few dozen ordinary values."""
    lines = ["Windows Registry Editor Version 5.00\n", "\n[HKEY_LOCAL_MACHINE\\Software\\Vendor]\n"]
    index = 0
    while sum(map(len, lines)) < 4000:
        lines.append('"Setting%d"="some ordinary text"\n' % index)
        index += 1
    lines.append('\n[HKEY_LOCAL_MACHINE\\Platform]\n"Build"="%d"\n' % build)
    lines.append('\n[HKEY_LOCAL_MACHINE\\NetAdmin\\SNMP]\n"ZembrelTimeOut"=dword:00000000\n')
    return "".join(lines)


def make_device(folder, registry, stub):
    os.makedirs(os.path.join(folder, "Windows"), exist_ok=True)
    with open(os.path.join(folder, "registry.reg"), "w", encoding="utf-8", newline="") as out:
        out.write(registry)
    shutil.copy(stub, os.path.join(folder, "Windows", "upgrade.exe"))
    return folder


class Runner:
    """Runs programs through the measuring helper, which reports wall time and peak RSS."""

    def __init__(self, measure, scratch):
        self.measure = measure
        self.result = os.path.join(scratch, "measured")

    def run(self, argv, env):
        """(wall seconds, peak RSS KiB, standard output's lines with the seconds they came at,
        CPU seconds). Line times count from the helper's start, the wall time from the
        program's. On a busy machine the wall time holds waits for a CPU; the CPU time not."""
        start = time.perf_counter()
        process = subprocess.Popen([self.measure, self.result] + argv, env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        lines = [(time.perf_counter() - start, line.decode("utf-8", "replace").rstrip("\n"))
                 for line in process.stdout]
        lines.append((time.perf_counter() - start, None))  # the program's end closed its output
        if process.wait() != 0:
            raise RuntimeError("the measuring helper failed on %r" % argv)
        with open(self.result) as result:
            wall, cpu, rss, _ = (int(field) for field in result.read().split())
        return wall / 1e9, rss, lines, cpu / 1e9


def device_env(device):
    env = dict(os.environ)
    env["ZEMBREL_ROOT"] = device
    return env


def instructions(argv, env, scratch):
    out = os.path.join(scratch, "callgrind.out")
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + argv, env=env,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    with open(out) as data:
        for line in data:
            if line.startswith("totals:") or line.startswith("summary:"):
                return int(line.split()[1])
    raise RuntimeError("callgrind wrote no totals for %r" % argv)


def spread(samples):
    """Median, 10th and 90th percentile."""
    ordered = sorted(samples)
    at = lambda q: ordered[min(len(ordered) - 1, int(q * len(ordered)))]
    return statistics.median(ordered), at(0.1), at(0.9)


def ms(seconds):
    return "%.1f ms" % (seconds * 1000)


def timed(samples):
    middle, low, high = spread(samples)
    return "%s (%s-%s)" % (ms(middle), ms(low), ms(high))


def kib(value):
    return "{:,} KiB".format(int(value))


def handoff_table(runner, zembrel, minimal, stub, scratch, runs):
    device = make_device(os.path.join(scratch, "small"), small_registry(400), stub)
    settle(device)
    registry = os.path.join(device, "registry.reg")
    program = os.path.join(device, "Windows", "upgrade.exe")
    env = device_env(device)
    ours = [zembrel, "-DHCP"]
    least = [minimal, registry, program, "-DHCP -NoZEMBRL"]
    print("## Hand-off on a small registry (%s bytes) against the minimal program\n" % format(os.path.getsize(registry), ","))
    print("| figure | zembrel | minimal | ratio | goal |")
    print("|---|---|---|---|---|")
    if shutil.which("valgrind"):
        ours_count, least_count = instructions(ours, env, scratch), instructions(least, env, scratch)
        print("| instructions, whole process (callgrind) | {:,} | {:,} | {:.2f}x | <= 2x |".format(
            ours_count, least_count, ours_count / least_count))
    else:
        print("| instructions | not counted: valgrind is not installed | | | <= 2x |")
    walls, cpus, rss = ([], []), ([], []), ([], [])
    for _ in range(runs):  # alternated, so that a busy moment costs both alike
        for which, argv in enumerate((ours, least)):
            wall, peak, _, cpu = runner.run(argv, env)
            walls[which].append(wall)
            cpus[which].append(cpu)
            rss[which].append(peak)
    print("| wall time, median (10th-90th percentile) of %d runs | %s | %s | %.2fx | <= 1.3x |" % (
        runs, timed(walls[0]), timed(walls[1]), statistics.median(walls[0]) / statistics.median(walls[1])))
    print("| wall time, fastest run (what a quiet machine gives) | %s | %s | %.2fx | |" % (
        ms(min(walls[0])), ms(min(walls[1])), min(walls[0]) / min(walls[1])))
    print("| CPU time (user and system), median | %s | %s | %.2fx | |" % (
        ms(statistics.median(cpus[0])), ms(statistics.median(cpus[1])),
        statistics.median(cpus[0]) / max(statistics.median(cpus[1]), 1e-9)))
    print("| peak RSS, median | %s | %s | %.2fx | <= 1.5x |\n" % (
        kib(statistics.median(rss[0])), kib(statistics.median(rss[1])),
        statistics.median(rss[0]) / statistics.median(rss[1])))


def refusal(runner, zembrel, device):
    """One unattended refusal: (wall, peak RSS, the countdown as shown, its end to the exit)."""
    wall, peak, lines, _ = runner.run([zembrel, "-SNMP"], device_env(device))
    shown = [at for at, text in lines if text is not None and text.startswith("Time out (in Second):")]
    ended = [at for at, text in lines if text is not None and text.startswith("EndDialog:")]
    if not shown or not ended:
        raise RuntimeError("the refusal printed no countdown: %r" % lines)
    return wall, peak, ended[0] - shown[0], lines[-1][0] - ended[0]


def least_write(runner, least_writer, original, scratch):
    """The least writer on a copy of the refused device's registry, as the refusal meets it: after
    the same idle as the countdown, from its "go" to its exit."""
    device = os.path.join(scratch, "least-writing")
    shutil.rmtree(device, ignore_errors=True)
    shutil.copytree(original, device)
    _, _, lines, _ = runner.run([least_writer, os.path.join(device, "registry.reg"), '"ZembrelCode"=dword:0000001d',
                                 "%d" % (COUNTDOWN * 1000)], device_env(device))
    went = [at for at, text in lines if text == "go"]
    if not went:
        raise RuntimeError("the least writer did not start: %r" % lines)
    return lines[-1][0] - went[0]


def settle(*folders):
    """Files as a device holds them: written a while ago, not in the last seconds (a reader
    trusts a file's stat data only once its times lie over 2 s back)."""
    past = time.time() - 60
    for folder in folders:
        os.utime(os.path.join(folder, "registry.reg"), (past, past))
    time.sleep(2.1)  # the change time cannot be set: it settles by waiting


def sizes_table(runner, zembrel, stub, least_writer, minimal, scratch, sizes, runs):
    print("## Registry files of growing size (one key per %d values, UTF-8, LF)\n" % VALUES_PER_KEY)
    print("Hand-off: `zembrel -DHCP` on build 400, against the least reader (the minimal program: the "
          "file streamed once through 64 KiB, then the same spawn). Refusal: `zembrel -SNMP` on build 350 "
          "with `ZembrelTimeOut` 0, which writes `ZembrelCode` after a countdown of %g s; its write (the "
          "dialog's end to the exit) against the least writer (the file copied with one line more, "
          "flushed, renamed over it), on a copy of the same file after the same idle, from its start to its exit. Instructions under callgrind, of the hand-off and the least "
          "reader.\n" % COUNTDOWN)
    print("| values | file | hand-off, median (10th-90th) | least reader | ratio | instructions, ratio | "
          "its CPU time | its peak RSS | RSS / file | refusal beyond the countdown | its write | least writer "
          "| ratio | its peak RSS | RSS / file | countdown error |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    rows = []
    for values in sizes:
        handoff = make_device(os.path.join(scratch, "hand-off-%d" % values), registry_text(values, 400), stub)
        original = make_device(os.path.join(scratch, "refused-%d" % values), registry_text(values, 350), stub)
        settle(handoff, original)
        size = os.path.getsize(os.path.join(handoff, "registry.reg"))
        count = runs if values <= 100000 else max(3, runs // 4)
        registry = os.path.join(handoff, "registry.reg")
        program = os.path.join(handoff, "Windows", "upgrade.exe")
        handoffs, readers = [], []
        for _ in range(count):  # alternated, so that a busy moment costs both alike
            handoffs.append(runner.run([zembrel, "-DHCP"], device_env(handoff)))
            readers.append(runner.run([minimal, registry, program, "-DHCP -NoZEMBRL"], device_env(handoff)))
        counts = ""
        if shutil.which("valgrind"):
            ours = instructions([zembrel, "-DHCP"], device_env(handoff), scratch)
            least = instructions([minimal, registry, program, "-DHCP -NoZEMBRL"], device_env(handoff), scratch)
            counts = "{:,} / {:,} = {:.2f}x".format(ours, least, ours / least)
        writers, refusals = [], []
        for _ in range(max(3, count // 3)):  # alternated, as above
            writers.append(least_write(runner, least_writer, original, scratch))
            device = os.path.join(scratch, "refusing")
            shutil.rmtree(device, ignore_errors=True)
            shutil.copytree(original, device)  # copytree keeps the times of the settled file
            refusals.append(refusal(runner, zembrel, device))
        hand = statistics.median(h[0] for h in handoffs)
        reader = statistics.median(r[0] for r in readers)
        hand_rss = max(h[1] for h in handoffs)
        beyond = statistics.median(r[0] - COUNTDOWN for r in refusals)
        write = statistics.median(r[3] for r in refusals)
        writer = statistics.median(writers)
        refusal_rss = max(r[1] for r in refusals)
        print("| {:,} | {:,} bytes | {} | {} | {:.2f}x | {} | {} | {} | {:.2f}x | {} | {} | {} | {:.2f}x | {} | "
              "{:.2f}x | {} |".format(
                  values, size, timed([h[0] for h in handoffs]), ms(reader), hand / reader, counts or "not counted",
                  ms(statistics.median(h[3] for h in handoffs)), kib(hand_rss), hand_rss * 1024 / size,
                  ms(beyond), ms(write), ms(writer), write / writer, kib(refusal_rss), refusal_rss * 1024 / size,
                  ms(max(abs(r[2] - COUNTDOWN) for r in refusals))))
        rows.append((values, size, hand, hand_rss, beyond, write))
    if len(rows) > 1:
        print("\nScaling from each size to the next (linear cost grows as the file does):\n")
        print("| from | to | file | hand-off | its peak RSS | refusal beyond the countdown | its write |")
        print("|---|---|---|---|---|---|---|")
        for a, b in zip(rows, rows[1:]):
            print("| {:,} | {:,} | {:.1f}x | {:.1f}x | {:.1f}x | {:.1f}x | {:.1f}x |".format(
                a[0], b[0], b[1] / a[1], b[2] / a[2], b[3] / a[3], b[4] / a[4], b[5] / a[5]))
    print()


def deep_key_registry(levels):
    """One key line `levels` levels deep, which no registry holds, before the keys zembrel reads."""
    return ("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE" + "\\Level" * levels + "]\n"
            + registry_text(2, 400).split("\n", 1)[1])


def deletions_registry(keys):
    """`keys` keys with a value each, then every one of them deleted, then the keys zembrel reads."""
    parts = ["Windows Registry Editor Version 5.00\n\n"]
    parts += ['[HKEY_LOCAL_MACHINE\\Software\\Vendor\\Key%d]\n"Value"="some text"\n' % k for k in range(keys)]
    parts += ["[-HKEY_LOCAL_MACHINE\\Software\\Vendor\\Key%d]\n" % k for k in range(keys)]
    return "".join(parts) + registry_text(2, 400).split("\n", 1)[1]


def pathological_table(runner, zembrel, stub, scratch, runs):
    print("## Files that once cost time out of proportion\n")
    print("| file | size | hand-off, median (10th-90th) | its CPU time | its peak RSS | size and time against the row above |")
    print("|---|---|---|---|---|---|")
    for kind, make, counts in (("one key line N levels deep", deep_key_registry, (10000, 20000, 40000)),
                               ("N keys, then N key deletions", deletions_registry, (20000, 40000, 80000))):
        previous = None
        for count in counts:
            device = make_device(os.path.join(scratch, "odd-%d" % count), make(count), stub)
            size = os.path.getsize(os.path.join(device, "registry.reg"))
            samples = [runner.run([zembrel, "-DHCP"], device_env(device)) for _ in range(runs)]
            wall = statistics.median(s[0] for s in samples)
            against = "" if previous is None else "%.1fx, %.1fx" % (size / previous[0], wall / previous[1])
            print("| %s, N = %s | %s bytes | %s | %s | %s | %s |" % (
                kind, format(count, ","), format(size, ","), timed([s[0] for s in samples]),
                ms(statistics.median(s[3] for s in samples)), kib(max(s[1] for s in samples)), against))
            previous = (size, wall)
    print()


def describe_machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            model = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    load = "%.2f %.2f %.2f" % os.getloadavg()
    print("%s; %d cores; load average %s at the start; %s\n" % (
        model, os.cpu_count() or 0, load, time.strftime("%Y-%m-%d %H:%M")))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--zembrel", required=True)
    parser.add_argument("--minimal", required=True)
    parser.add_argument("--stub", required=True)
    parser.add_argument("--least-writer", required=True)
    parser.add_argument("--measure", required=True)
    parser.add_argument("--runs", type=int, default=200, help="runs of each program on the small registry")
    parser.add_argument("--sizes", default="1000,10000,100000,1000000", help="values in each generated file")
    parser.add_argument("--no-odd-files", action="store_true", help="leave out deep keys and mass deletions")
    args = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix="zembrel-bench-")
    try:
        runner = Runner(args.measure, scratch)
        describe_machine()
        if not shutil.which("valgrind"):
            print("valgrind is not installed: the instruction counts are left out\n")
        handoff_table(runner, args.zembrel, args.minimal, args.stub, scratch, args.runs)
        sizes = [int(size) for size in args.sizes.split(",") if size]
        if sizes:
            sizes_table(runner, args.zembrel, args.stub, args.least_writer, args.minimal, scratch, sizes,
                        max(5, args.runs // 10))
        if not args.no_odd_files:
            pathological_table(runner, args.zembrel, args.stub, scratch, max(5, args.runs // 20))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
