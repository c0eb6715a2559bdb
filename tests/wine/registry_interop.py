#!/usr/bin/env python3
"""The POSIX registry store against Wine's own tools: regedit's export read by the port, the
port's file imported by regedit and read back with reg query, with the same types and data, and
names folded as Wine's registry folds them, over every case pair of the BMP."""
# Run inside tests/wine/with-wine.sh as: registry_interop.py --regtool PATH [--wine wine]

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 2, 3, 4, 7
KEY = "Software\\ZembrelInterop"

# name, type, data; each a form that the .reg file writes differently.
VALUES = [
    ("Text", REG_SZ, 'Firmware "3.42" in C:\\Windows'.encode("utf-16-le") + b"\0\0"),
    ("", REG_SZ, "the default value".encode("utf-16-le") + b"\0\0"),
    ("Number", REG_DWORD, (29).to_bytes(4, "little")),
    ("AllOnes", REG_DWORD, b"\xff\xff\xff\xff"),
    ("Blob", REG_BINARY, bytes([0, 1, 0xFF, 0x10, 0x80])),
    ("List", REG_MULTI_SZ, "one\0two\0".encode("utf-16-le") + b"\0\0"),
    ("Path", REG_EXPAND_SZ, "%SystemRoot%\\upgrade".encode("utf-16-le") + b"\0\0"),
]

REG_TYPE_NAMES = {REG_SZ: "REG_SZ", REG_EXPAND_SZ: "REG_EXPAND_SZ", REG_BINARY: "REG_BINARY",
                  REG_DWORD: "REG_DWORD", REG_MULTI_SZ: "REG_MULTI_SZ"}

failures = []
checked = []


def check(condition, message):
    checked.append(message)
    if not condition:
        failures.append(message)
        print("FAIL:", message)


class Wine:
    def __init__(self, wine):
        self.wine = wine
        self.drive_c = os.path.join(os.environ["WINEPREFIX"], "drive_c")
        self.logs = tempfile.mkdtemp(prefix="zembrel-interop-")

    def run(self, *args):
        """Runs a Wine program with its output in files: Wine's helpers outlive it."""
        out_path = os.path.join(self.logs, "out")
        with open(out_path, "wb") as out:
            code = subprocess.run([self.wine, *args], stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.DEVNULL, timeout=120).returncode
        with open(out_path, "rb") as out:
            return code, out.read().decode("utf-8", "replace")

    def query(self, key):
        """reg query's exit code, its output, and {name: (type name, data text)} for the values
        it shows of a key ("" for the default value)."""
        code, out = self.run("reg", "query", "HKLM\\" + key)
        shown = {}
        for line in out.splitlines():
            match = re.match(r"^    (.*?)    (REG_\w+)    ?(.*)$", line)
            if match:
                name = "" if match.group(1) == "(Default)" else match.group(1)
                shown[name] = (match.group(2), match.group(3))
        return code, out, shown


def reg_query_text(value_type, data):
    """What reg query prints for the data."""
    if value_type == REG_DWORD:
        return "0x%x" % int.from_bytes(data, "little")
    if value_type == REG_BINARY:
        return data.hex().upper()
    text = data.decode("utf-16-le").rstrip("\0")
    return text.replace("\0", "\\0") if value_type == REG_MULTI_SZ else text


def regtool(tool, root, *args):
    env = dict(os.environ, ZEMBREL_ROOT=root)
    return subprocess.run([tool, *args], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=60)


def wine_export_is_read_by_the_port(wine, tool, scratch):
    wine.run("reg", "delete", "HKLM\\" + KEY, "/f")
    for name, value_type, data in VALUES:
        stored = (data.decode("utf-16-le").rstrip("\0") if value_type in (REG_SZ, REG_EXPAND_SZ)
                  else str(int.from_bytes(data, "little")) if value_type == REG_DWORD
                  else data.hex() if value_type == REG_BINARY
                  else data.decode("utf-16-le").rstrip("\0").replace("\0", "\\0"))
        name_args = ["/ve"] if name == "" else ["/v", name]
        code, _ = wine.run("reg", "add", "HKLM\\" + KEY, *name_args,
                           "/t", REG_TYPE_NAMES[value_type], "/d", stored, "/f")
        check(code == 0, f"reg add {name!r}")

    code, _ = wine.run("regedit", "/E", "C:\\interop-export.reg", "HKEY_LOCAL_MACHINE\\" + KEY)
    check(code == 0, "regedit /E")
    exported = os.path.join(wine.drive_c, "interop-export.reg")
    root = os.path.join(scratch, "exported")
    os.makedirs(root)
    shutil.copyfile(exported, os.path.join(root, "registry.reg"))
    with open(exported, "rb") as handle:
        check(handle.read(2) == b"\xff\xfe", "regedit exports UTF-16LE with its BOM")

    for name, value_type, data in VALUES:
        result = regtool(tool, root, "get", KEY, name)
        check(result.returncode == 0 and result.stderr == "",
              f"the port reads {name!r} of regedit's export: {result.stderr.strip()}")
        check(result.stdout.strip() == f"{value_type} {data.hex()}",
              f"{name!r}: port read {result.stdout.strip()!r}, Wine stored {value_type} {data.hex()}")


def port_file_is_imported_by_regedit(wine, tool, scratch):
    root = os.path.join(scratch, "written")
    os.makedirs(root)
    key = KEY + "\\Written"
    wine.run("reg", "delete", "HKLM\\" + key, "/f")
    for name, value_type, data in VALUES:
        result = regtool(tool, root, "set", key, name, str(value_type), data.hex())
        check(result.returncode == 0, f"the port stores {name!r}: {result.stderr.strip()}")

    shutil.copyfile(os.path.join(root, "registry.reg"),
                    os.path.join(wine.drive_c, "interop-import.reg"))
    code, _ = wine.run("regedit", "/S", "C:\\interop-import.reg")
    check(code == 0, "regedit /S imports the port's file")
    # One reg query for the whole key: each Wine program started is one more chance for the
    # session to stumble, and a stumble shows here with what reg printed.
    code, out, shown = wine.query(key)
    check(code == 0, f"reg query exits 0, not {code}; it printed:\n{out}")
    for name, value_type, data in VALUES:
        expected = (REG_TYPE_NAMES[value_type], reg_query_text(value_type, data))
        check(shown.get(name) == expected,
              f"{name!r}: reg query shows {shown.get(name)}, the port wrote {expected}")
    check(len(shown) == len(VALUES), f"reg query shows only what the port wrote: {sorted(shown)}")


def case_pairs():
    """Every pair of a BMP letter and a one-letter case partner (its capital, small or title
    form), each pair once."""
    pairs = set()
    for point in range(0x80, 0x10000):
        if 0xD800 <= point <= 0xDFFF:
            continue
        letter = chr(point)
        for partner in (letter.upper(), letter.lower(), letter.title()):
            if len(partner) == 1 and partner != letter and ord(partner) < 0x10000:
                pairs.add(tuple(sorted((letter, partner))))
    return sorted(pairs)


def names_fold_as_wines_registry(wine, tool, scratch):
    """Two names that differ in one letter's case are one name to Wine's registry or two; the
    port must say the same of every pair. Each pair is written as two values, the second of
    which replaces the first where the names are one."""
    pairs = case_pairs()
    key = KEY + "\\Fold"
    lines = ["Windows Registry Editor Version 5.00", "", f"[HKEY_LOCAL_MACHINE\\{key}]"]
    for number, (first, second) in enumerate(pairs):
        lines += [f'"p{number}{first}"="1"', f'"p{number}{second}"="2"']
    text = "\ufeff" + "\r\n".join(lines) + "\r\n"
    with open(os.path.join(wine.drive_c, "interop-fold.reg"), "w", encoding="utf-16-le", newline="") as reg:
        reg.write(text)
    wine.run("reg", "delete", "HKLM\\" + key, "/f")
    code, _ = wine.run("regedit", "/S", "C:\\interop-fold.reg")
    check(code == 0, "regedit /S imports the pairs")
    code, _ = wine.run("regedit", "/E", "C:\\interop-fold-out.reg", "HKEY_LOCAL_MACHINE\\" + key)
    check(code == 0, "regedit /E exports them")
    with open(os.path.join(wine.drive_c, "interop-fold-out.reg"), encoding="utf-16") as exported:
        names = set(re.findall(r'^"(p\d+.)"=', exported.read(), re.M))

    root = os.path.join(scratch, "fold")
    os.makedirs(root)
    with open(os.path.join(root, "registry.reg"), "w", encoding="utf-16-le", newline="") as reg:
        reg.write(text)
    differ = []
    for number, (first, second) in enumerate(pairs):
        one_to_wine = not (f"p{number}{first}" in names and f"p{number}{second}" in names)
        result = regtool(tool, root, "get", key, f"p{number}{first}")
        one_to_port = result.stdout.strip() == "1 " + "2".encode("utf-16-le").hex() + "0000"
        if one_to_wine != one_to_port:
            differ.append(f"U+{ord(first):04X}/U+{ord(second):04X} ({'one' if one_to_wine else 'two'} "
                          f"names to Wine, {'one' if one_to_port else 'two'} to the port)")
    check(not differ, f"{len(differ)} of {len(pairs)} case pairs fold otherwise: {', '.join(differ[:40])}")


# Data forms as someone might write them by hand, each read by regedit with the C runtime's
# number reading: blanks, signs, "0x", leading zeros, empty numbers, comments.
VALUE_FORMS = [
    "hex(1):34,30,30,00", "hex( 1):34,30,30,00", "hex(+1):34,30,30,00", "hex(000000001):34,30,30,00",
    "hex(\t1):34,30,30,00", "hex(0x1):34,30,30,00", "hex(0X1):34,30,30,00", "hex(-1):34,00", "hex(-0):34,00",
    "hex():34,00", "hex(100000000):34,00", "hex(1 ):34,00", "hex(0x):34,00", "hex(-):34,00",
    "hex:0x41,+42", "hex: 41, 42", "hex:41 ,42", "hex:-1", "hex:-0", "hex:041", "hex:000000041", "hex:,41",
    "hex:41,", "hex:4 1", "hex:0X41", "hex:41,,42", "hex:100", "hex:41;c", "hex:41 ;c", "hex:\t41", "hex:0x",
    "hex:+", "dword:;c", "dword: ;c", "dword:", "dword: 1", "dword:1 ;c", "dword:1;c", "dword:+1", "dword:0x1",
    "dword:123456789", "dword:-1", "dword:00000001 x",
]


def exported_values(text):
    """{key below the export's key: (type, data hex)} of regedit's export, for values named V."""
    values = {}
    for section in re.split(r"\r?\n\r?\n", text.replace("\\\r\n  ", "").replace("\\\n  ", "")):
        match = re.match(r'\[[^\]]*\\Forms\\(K\d+)\]\r?\n"V"=(.*)', section)
        if not match:
            continue
        data = match.group(2).strip()
        if data.startswith('"'):
            value = (REG_SZ, (data[1:-1] + "\0").encode("utf-16-le").hex())
        elif data.startswith("dword:"):
            value = (REG_DWORD, int(data[6:], 16).to_bytes(4, "little").hex())
        else:
            kind = re.match(r"hex(?:\(([0-9a-f]+)\))?:(.*)", data)
            value = (int(kind.group(1) or "3", 16), kind.group(2).replace(",", ""))
        values[match.group(1)] = value
    return values


def value_forms_read_as_wines_regedit(wine, tool, scratch):
    """Each form imported by regedit and read by the port, in an 8-bit file and a UTF-16 one:
    the same value, or none in both."""
    for wide in (False, True):
        lines = ["Windows Registry Editor Version 5.00" if wide else "REGEDIT4", ""]
        for number, form in enumerate(VALUE_FORMS):
            lines += [f"[HKEY_LOCAL_MACHINE\\{KEY}\\Forms\\K{number}]", f'"V"={form}', ""]
        text = "\r\n".join(lines) + "\r\n"
        data = ("\ufeff" + text).encode("utf-16-le") if wide else text.encode("ascii")
        with open(os.path.join(wine.drive_c, "interop-forms.reg"), "wb") as reg:
            reg.write(data)
        wine.run("reg", "delete", "HKLM\\" + KEY + "\\Forms", "/f")
        code, _ = wine.run("regedit", "/S", "C:\\interop-forms.reg")
        check(code == 0, "regedit /S imports the forms")
        code, _ = wine.run("regedit", "/E", "C:\\interop-forms-out.reg", "HKEY_LOCAL_MACHINE\\" + KEY + "\\Forms")
        check(code == 0, "regedit /E exports them")
        with open(os.path.join(wine.drive_c, "interop-forms-out.reg"), encoding="utf-16") as exported:
            imported = exported_values(exported.read())
        root = os.path.join(scratch, "forms-wide" if wide else "forms-8bit")
        os.makedirs(root)
        with open(os.path.join(root, "registry.reg"), "wb") as reg:
            reg.write(data)
        for number, form in enumerate(VALUE_FORMS):
            result = regtool(tool, root, "get", f"{KEY}\\Forms\\K{number}", "V")
            words = result.stdout.split()
            read = (int(words[0]), words[1] if len(words) > 1 else "") if result.returncode == 0 else None
            check(read == imported.get(f"K{number}"),
                  f"{'UTF-16' if wide else '8-bit'} {form!r}: regedit imports {imported.get(f'K{number}')}, "
                  f"the port reads {read}")


class Interop(unittest.TestCase):
    """Each direction as one test; its checks all run, and the test fails on any of them."""

    wine = tool = scratch = None

    def run_checks(self, function):
        before = len(failures)
        function(self.wine, self.tool, self.scratch)
        self.assertEqual(failures[before:], [])

    def test_wine_export_is_read_by_the_port(self):
        self.run_checks(wine_export_is_read_by_the_port)

    def test_port_file_is_imported_by_regedit(self):
        self.run_checks(port_file_is_imported_by_regedit)

    def test_names_fold_as_wines_registry(self):
        self.run_checks(names_fold_as_wines_registry)

    def test_value_forms_read_as_wines_regedit(self):
        self.run_checks(value_forms_read_as_wines_regedit)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--regtool", required=True)
    parser.add_argument("--wine", default=os.environ.get("ZEMBREL_WINE", "wine"))
    options = parser.parse_args()
    if not os.environ.get("ZEMBREL_WINE_SESSION") or not os.environ.get("WINEPREFIX"):
        print("SKIP: needs a tests/wine/with-wine.sh session")
        return 77
    if shutil.which(options.wine) is None:
        print("SKIP: no wine")
        return 77

    Interop.wine = Wine(options.wine)
    Interop.tool = options.regtool
    Interop.scratch = tempfile.mkdtemp(prefix="zembrel-interop-")
    try:
        result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(
            unittest.defaultTestLoader.loadTestsFromTestCase(Interop))
    finally:
        shutil.rmtree(Interop.scratch, ignore_errors=True)
        shutil.rmtree(Interop.wine.logs, ignore_errors=True)
    print(f"interop: {len(checked) - len(failures)} checks passed, {len(failures)} failed")
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
