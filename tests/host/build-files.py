#!/usr/bin/python3
"""What can be checked of the built files without running them, for both
architectures, and proof that each check can fail.

  build-files.py X86_BUILD X64_BUILD VERSION DECORATED_DLL

For qvWMI.dll, ostrel.dll and wmicheck.exe of each build: the machine type,
imports only of DLLs the system provides (no compiler runtime), the DLLs'
exports the same undecorated names in both builds, the embedded type
library's SYSKIND (win32 / win64) and the version block's release number.
Each check is run again where its answer must differ: the other
architecture's file, a compiler runtime DLL, a DLL built without a .def file
(DECORATED_DLL: stdcall names with @N), another release number.
Uses Debian's python3-pefile.
"""
import glob
import os
import struct
import sys

import pefile

FILES = ("qvWMI.dll", "ostrel.dll", "wmicheck.exe")
MACHINE = {"x86": 0x14C, "x64": 0x8664}
SYSKIND = {"x86": 1, "x64": 3}  # SYS_WIN32, SYS_WIN64
# Wine's builds of the system DLLs, one folder per architecture: the names a
# program may import and still copy to any Windows machine.
SYSTEM_DLLS = {"x86": "/usr/lib/i386-linux-gnu/wine/i386-windows",
               "x64": "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"}


def load(path):
    return pefile.PE(path)


def machine(path, arch):
    found = load(path).FILE_HEADER.Machine
    return found == MACHINE[arch], f"machine 0x{found:x}"


def imports(path, arch):
    system = {os.path.basename(p).lower() for p in glob.glob(SYSTEM_DLLS[arch] + "/*.dll")}
    names = [e.dll.decode() for e in getattr(load(path), "DIRECTORY_ENTRY_IMPORT", [])]
    foreign = [n for n in names if n.lower() not in system]
    return bool(names) and bool(system) and not foreign, f"imports {', '.join(names)}" + (
        f"; not the system's: {', '.join(foreign)}" if foreign else "")


def export_names(path):
    pe = load(path)
    if not hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        return []
    return sorted(e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name)


def exports(path, other):
    mine, theirs = export_names(path), export_names(other)
    decorated = [n for n in mine if "@" in n]
    return bool(mine) and mine == theirs and not decorated, f"exports {', '.join(mine)}"


def typelib(path, arch):
    pe = load(path)
    resources = pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []
    for entry in resources:
        if entry.name is not None and str(entry.name) == "TYPELIB":
            data_entry = entry.directory.entries[0].directory.entries[0].data.struct
            data = pe.get_data(data_entry.OffsetToData, data_entry.Size)
            if data[:4] != b"MSFT":
                return False, "TYPELIB resource is no type library"
            syskind = struct.unpack_from("<I", data, 0x14)[0] & 0xF
            return syskind == SYSKIND[arch], f"type library SYSKIND {syskind}"
    return False, "no TYPELIB resource"


def version(path, release):
    major, minor, build = (int(p) for p in release.split("."))
    pe = load(path)
    fixed = pe.VS_FIXEDFILEINFO[0]
    numbers = (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
               fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF)
    texts = {}
    for info in pe.FileInfo:
        for block in info:
            if block.Key == b"StringFileInfo":
                for table in block.StringTable:
                    texts.update({k.decode(): v.decode() for k, v in table.entries.items()})
    text = f"{major}.{minor:02d}.{build:04d}"
    good = numbers == (major, minor, 0, build) and texts.get("FileVersion") == text \
        and texts.get("ProductVersion") == text
    return good, f"version {'.'.join(map(str, numbers))} \"{texts.get('FileVersion')}\""


def main(x86_build, x64_build, release, decorated):
    builds = {"x86": x86_build, "x64": x64_build}
    other = {"x86": "x64", "x64": "x86"}
    runtime = sorted(glob.glob("/usr/lib/gcc/i686-w64-mingw32/*/libstdc++-6.dll"))[:1]
    cases = []  # (description, expected outcome, check, arguments)
    for arch, build in builds.items():
        for name in FILES:
            path = f"{build}/bin/{name}"
            theirs = f"{builds[other[arch]]}/bin/{name}"
            cases += [(f"{arch} {name}: PE {arch}", True, machine, (path, arch)),
                      (f"{arch} {name}: imports only system DLLs", True, imports, (path, arch)),
                      (f"{arch} {name}: version {release}", True, version, (path, release)),
                      (f"{arch} {name} is no PE {other[arch]}", False, machine, (path, other[arch]))]
            if name.endswith(".dll"):
                cases += [(f"{arch} {name}: exports as the {other[arch]} build's", True, exports, (path, theirs)),
                          (f"{arch} {name}: type library {'win32' if arch == 'x86' else 'win64'}",
                           True, typelib, (path, arch)),
                          (f"{arch} {name}: type library not for {other[arch]}", False, typelib,
                           (path, other[arch]))]
    cases += [("a compiler runtime DLL fails the import check", False, imports, (runtime[0] if runtime else "", "x86")),
              ("a DLL without a .def file fails the export check", False, exports,
               (decorated, f"{x86_build}/bin/qvWMI.dll")),
              ("qvWMI.dll is not version 0.0.1", False, version, (f"{x86_build}/bin/qvWMI.dll", "0.0.1")),
              ("ostrel.dll's exports are not qvWMI.dll's", False, exports,
               (f"{x86_build}/bin/ostrel.dll", f"{x64_build}/bin/qvWMI.dll"))]
    passed = failed = 0
    for description, expected, check, arguments in cases:
        try:
            outcome, detail = check(*arguments)
        except (OSError, pefile.PEFormatError) as e:
            outcome, detail = False, str(e)
        if outcome == expected:
            passed += 1
            print(f"ok   {description}: {detail}")
        else:
            failed += 1
            print(f"FAIL {description}: {detail}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 5:
        raise SystemExit(__doc__)
    sys.exit(main(*sys.argv[1:]))
