#!/usr/bin/env python3
# Reads each zembrel.exe as Windows' loader would and checks that it is what the build promises.
"""Checks built zembrel.exe files without running them, and prints each one's size and SHA-256.

For each desktop file: the machine (i386 or AMD64, and the one --machine names), the GUI
subsystem, no link timestamp (the build is reproducible), imports from the system's own DLLs
only, the manifest (asInvoker, the supported Windows versions) and the resources the program
loads. An i686 build that this machine cannot run is checked all the same.

With --device, the rules of the device's image instead (Windows CE 2.12 on x86): machine
i386, subsystem 9 (Windows CE GUI) version 2.12 and OS version 2.12, based at 0x10000, 4 KiB
sections, base relocations kept, no TLS, a 64 KiB stack reserve, no timestamp, imports from
COREDLL.dll alone, each by name and in the project's list (--coredll-def), no manifest, the
same resources, and at most 12 KiB. --refused turns it round: every file must break the
device's subsystem and import rules (a desktop build must never pass for a device one).

    tests/wine/check_pe.py --machine i386 build/mingw-i686/zembrel.exe
    tests/wine/check_pe.py build/mingw-i686/zembrel.exe build/mingw-x64/zembrel.exe
    tests/wine/check_pe.py --device build/wince-x86/zembrel.exe
    tests/wine/check_pe.py --device --refused build/mingw-i686/zembrel.exe

Exits 0 when every check passes, 1 when any fails, 77 when pefile is missing.
"""

import argparse
import hashlib
import os
import sys
import xml.etree.ElementTree as ElementTree

try:
    import pefile
except ImportError:
    # Debian's python3-pefile is installed for Debian's own interpreter, which a python3 that
    # comes first on PATH (pyenv, a virtual environment) does not see.
    if os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3") and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    print("SKIP: the executables were not checked: pefile is missing (Debian package python3-pefile)")
    sys.exit(77)

MACHINES = {pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]: "i386",
            pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]: "amd64"}

# What every Windows has in its system folder; a runtime DLL of the compiler's (libgcc,
# libstdc++, libwinpthread) would have to be shipped alongside.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "advapi32.dll", "msvcrt.dll"}

RT_STRING = pefile.RESOURCE_TYPE["RT_STRING"]
RT_DIALOG = pefile.RESOURCE_TYPE["RT_DIALOG"]
RT_GROUP_ICON = pefile.RESOURCE_TYPE["RT_GROUP_ICON"]
RT_ICON = pefile.RESOURCE_TYPE["RT_ICON"]
RT_MANIFEST = pefile.RESOURCE_TYPE["RT_MANIFEST"]
ENGLISH_US = 0x409

# The resources the program loads, as (type, id): dialog 101, the string block holding
# string 1, icon groups 103 and 106, and the manifest Windows reads at start.
EXPECTED_RESOURCES = {(RT_DIALOG, 101), (RT_STRING, 1), (RT_GROUP_ICON, 103), (RT_GROUP_ICON, 106),
                      (RT_MANIFEST, 1)}

ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "10 and 11",
}


def resources(pe):
    """{(type, id): [(language, data)]} of the resource directory."""
    found = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                entry = language.data.struct
                data = pe.get_data(entry.OffsetToData, entry.Size)
                found.setdefault((kind.id, name.id), []).append((language.id, data))
    return found


def check_manifest(data):
    """What is wrong with the manifest's text, as a list."""
    problems = []
    try:
        root = ElementTree.fromstring(data)
    except ElementTree.ParseError as error:
        return [f"manifest is not XML: {error}"]
    levels = [element.get("level") for element in root.iter(ASM_V3 + "requestedExecutionLevel")]
    if levels != ["asInvoker"]:
        problems.append(f"requestedExecutionLevel {levels}, expected ['asInvoker']")
    declared = {element.get("Id", "").lower() for element in root.iter(COMPATIBILITY + "supportedOS")}
    missing = [name for guid, name in SUPPORTED_OS.items() if guid not in declared]
    if missing:
        problems.append(f"supportedOS missing for Windows {', '.join(missing)}")
    return problems


def check_exe(path, machine):
    """Prints the file's figures and each failed check; gives the number of failures."""
    with open(path, "rb") as exe:
        content = exe.read()
    pe = pefile.PE(data=content)
    actual = MACHINES.get(pe.FILE_HEADER.Machine, hex(pe.FILE_HEADER.Machine))
    print(f"{path}: {actual}, {len(content):,} bytes, sha256 {hashlib.sha256(content).hexdigest()}")
    problems = []
    if actual not in MACHINES.values() or (machine and actual != machine):
        problems.append(f"machine {actual}, expected {machine or 'i386 or amd64'}")
    if pe.OPTIONAL_HEADER.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]:
        problems.append(f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, expected 2 (Windows GUI)")
    if pe.FILE_HEADER.TimeDateStamp != 0:
        problems.append(f"link timestamp {pe.FILE_HEADER.TimeDateStamp:#x}: two builds would differ")
    imports = sorted(entry.dll.decode("ascii").lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
    if not imports or not set(imports) <= SYSTEM_DLLS:
        problems.append(f"imports {imports}: not only {sorted(SYSTEM_DLLS)}")
    found = resources(pe)
    missing = sorted(EXPECTED_RESOURCES - set(found))
    if missing:
        problems.append(f"resources missing (type, id): {missing}")
    if not any(kind == RT_ICON for kind, _ in found):
        problems.append("no icon images")
    for key in sorted(EXPECTED_RESOURCES & set(found)):
        languages = [language for language, _ in found[key]]
        if languages != [ENGLISH_US]:
            problems.append(f"resource {key} in languages {languages}, expected [0x409]")
    if (RT_MANIFEST, 1) in found:
        problems.extend(check_manifest(found[(RT_MANIFEST, 1)][0][1]))
    for problem in problems:
        print(f"  FAIL {problem}")
    if not problems:
        print(f"  ok   GUI, system DLLs only ({', '.join(imports)}), no timestamp, manifest, resources")
    return len(problems)


# The device's image, as its loader and the device build's link promise it.
IMAGE_SUBSYSTEM_WINDOWS_CE_GUI = 9
DEVICE_IMAGE_BASE = 0x10000
DEVICE_STACK_RESERVE = 0x10000
DEVICE_MAX_BYTES = 12 * 1024
DEVICE_DLL = "coredll.dll"
DESKTOP_DLLS = SYSTEM_DLLS | {"gdi32.dll", "ntdll.dll", "comctl32.dll", "ole32.dll"}
DEFAULT_COREDLL_DEF = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "platform", "wince",
                                   "coredll.def")


def coredll_names(def_path):
    """The functions the project's coredll list names, as coredll exports them (no @N)."""
    names = set()
    with open(def_path, encoding="ascii") as listing:
        exporting = False
        for line in listing:
            words = line.split(";", 1)[0].split()
            if not words:
                continue
            if words[0] == "EXPORTS":
                exporting = True
            elif exporting:
                names.add(words[0].split("@", 1)[0])
    return names


def device_problems(pe, content, allowed):
    """What makes the image unfit for the device, as a list; the first two entries of a desktop
    build are always its subsystem and its imports."""
    problems = []
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    if optional.Subsystem != IMAGE_SUBSYSTEM_WINDOWS_CE_GUI:
        problems.append(f"subsystem {optional.Subsystem}, expected 9 (Windows CE GUI)")
    dlls = [entry.dll.decode("ascii") for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    if [dll.lower() for dll in dlls] != [DEVICE_DLL]:
        desktop = sorted(dll for dll in dlls if dll.lower() in DESKTOP_DLLS)
        problems.append(f"imports from {dlls}, expected COREDLL.dll alone"
                        + (f" (desktop DLLs: {desktop})" if desktop else ""))
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        for imported in entry.imports:
            if imported.name is None:
                problems.append(f"{entry.dll.decode('ascii')} ordinal {imported.ordinal} imported by number")
            elif imported.name.decode("ascii") not in allowed:
                problems.append(f"{imported.name.decode('ascii')} is not in the project's coredll list")
    if header.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        problems.append(f"machine {header.Machine:#x}, expected i386")
    versions = (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion,
                optional.MajorOperatingSystemVersion, optional.MinorOperatingSystemVersion)
    if versions != (2, 12, 2, 12):
        problems.append(f"subsystem and OS versions {versions}, expected 2.12 and 2.12")
    if optional.ImageBase != DEVICE_IMAGE_BASE:
        problems.append(f"image base {optional.ImageBase:#x}, expected {DEVICE_IMAGE_BASE:#x}")
    if optional.SectionAlignment != 0x1000:
        problems.append(f"section alignment {optional.SectionAlignment:#x}, expected 0x1000")
    relocations = optional.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if relocations.Size == 0 or header.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]:
        problems.append("no base relocations: the loader could not move it")
    if optional.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]].Size != 0:
        problems.append("a TLS directory")
    if optional.SizeOfStackReserve != DEVICE_STACK_RESERVE:
        problems.append(f"stack reserve {optional.SizeOfStackReserve:#x}, expected {DEVICE_STACK_RESERVE:#x}")
    if header.TimeDateStamp != 0:
        problems.append(f"link timestamp {header.TimeDateStamp:#x}: two builds would differ")
    found = resources(pe)
    missing = sorted((EXPECTED_RESOURCES - {(RT_MANIFEST, 1)}) - set(found))
    if missing:
        problems.append(f"resources missing (type, id): {missing}")
    if any(kind == RT_MANIFEST for kind, _ in found):
        problems.append("a manifest, which the device does not read")
    if len(content) > DEVICE_MAX_BYTES:
        problems.append(f"{len(content):,} bytes, more than {DEVICE_MAX_BYTES:,}")
    return problems


def check_device(path, allowed, refused):
    """Prints the file's figures and either its problems (none expected) or, with refused,
    whether the device rules turned it away; gives the number of failures."""
    with open(path, "rb") as exe:
        content = exe.read()
    pe = pefile.PE(data=content)
    print(f"{path}: {len(content):,} bytes, sha256 {hashlib.sha256(content).hexdigest()}")
    problems = device_problems(pe, content, allowed)
    if refused:
        for problem in problems:
            print(f"  refused: {problem}")
        kinds = ("subsystem", "imports from")
        if all(any(problem.startswith(kind) for problem in problems) for kind in kinds):
            print("  ok   not a device image: its subsystem and its imports are refused")
            return 0
        print("  FAIL the device rules did not refuse both its subsystem and its imports")
        return 1
    for problem in problems:
        print(f"  FAIL {problem}")
    if not problems:
        names = sorted(imported.name.decode("ascii") for entry in pe.DIRECTORY_ENTRY_IMPORT
                       for imported in entry.imports)
        print(f"  ok   Windows CE GUI 2.12, base {pe.OPTIONAL_HEADER.ImageBase:#x}, relocations, no TLS, "
              f"COREDLL.dll alone by name ({len(names)}: {', '.join(names)}), resources, no manifest")
    return len(problems)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--machine", choices=sorted(MACHINES.values()), help="the machine every file must be for")
    parser.add_argument("--device", action="store_true", help="the device's rules (Windows CE 2.12, x86)")
    parser.add_argument("--refused", action="store_true", help="with --device: every file must fail them")
    parser.add_argument("--coredll-def", default=DEFAULT_COREDLL_DEF, help="the project's coredll list")
    parser.add_argument("exe", nargs="+")
    options = parser.parse_args()
    allowed = coredll_names(options.coredll_def) if options.device else set()
    failures = 0
    for path in options.exe:
        try:
            if options.device:
                failures += check_device(path, allowed, options.refused)
            else:
                failures += check_exe(path, options.machine)
        except (OSError, pefile.PEFormatError) as error:
            print(f"{path}: FAIL cannot be read as a PE file: {error}")
            failures += 1
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
