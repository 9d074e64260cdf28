#!/usr/bin/env python3
"""What a registration wrote to the registry, as the installers carry it.

  registry.py diff BEFORE.reg AFTER.reg FOLDER [OURS...]
      Compares two exports (`reg export HKLM\\Software\\Classes`) and prints
      every key and value that AFTER adds or changes, one per line, sorted:
          KEY <TAB> NAME <TAB> DATA     a string value (NAME "" = the default)
          KEY <TAB> * <TAB>             a key without values or subkeys
      KEY is relative to HKLM\\Software\\Classes; the text FOLDER (the folder
      the DLLs were registered from, with its closing backslash) becomes
      [INSTALLFOLDER] in DATA. Windows Installer's own bookkeeping under
      Classes\\Installer is left out. With entries files OURS, only keys of
      the classes, interfaces, type libraries and ProgIDs named there count
      (other programs, the script host for one, register things of their own).

  registry.py wxs ENTRIES COMPONENT...
      Prints <RegistryValue> elements for wixl from the entries files, one
      file per component, as COMPONENT=FILE.

  registry.py x86 X64_ENTRIES
      Prints the entries an x86 registration writes, derived from what the
      x64 registration of the same sources wrote (X64_ENTRIES, from diff).

  registry.py sql ENTRIES COMPONENT...
      Prints the SQL that adds the keys without values to the Registry table
      (wixl writes no row for a key without a value).
"""
import hashlib
import sys
from xml.sax.saxutils import quoteattr

ROOT = "HKEY_LOCAL_MACHINE\\Software\\Classes\\"
CLASSES = "Software\\Classes\\"


def read_export(path):
    """{key: {name: data}} of a .reg export; keys keep their spelling."""
    raw = open(path, "rb").read()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8")
    keys, key = {}, None
    lines = iter(text.replace("\r\n", "\n").split("\n"))
    for line in lines:
        while line.endswith("\\"):  # hex data continues on the next line
            line = line[:-1] + next(lines, "").lstrip()
        if line.startswith("[") and line.endswith("]"):
            key = line[1:-1]
            keys.setdefault(key, {})
        elif key and line and not line.startswith(";"):
            name, data = split_value(line)
            keys[key][name] = data
    return keys


def unquote(text):
    return text.replace('\\"', '"').replace("\\\\", "\\")


def split_value(line):
    """(name, data): data is the string for a string value, else the export's
    text of the value (dword:..., hex(..):...) prefixed with a NUL."""
    if line.startswith("@="):
        name, rest = "", line[2:]
    else:
        end = 1
        while line[end] != '"':
            end += 2 if line[end] == "\\" else 1
        name, rest = unquote(line[1:end]), line[end + 2:]
    if rest.startswith('"') and rest.endswith('"'):
        return name, unquote(rest[1:-1])
    return name, "\0" + rest


def identity(key):
    """What a key belongs to: ("clsid", "{...}") and the like, or its ProgID."""
    parts = key.lower().split("\\")
    if parts[0] == "wow6432node":
        parts = parts[1:] or [""]
    return tuple(parts[:2]) if parts[0] in ("clsid", "interface", "typelib") and len(parts) > 1 else parts[:1]


def diff(before_path, after_path, folder, *ours):
    owned = {tuple(identity(e[0])) for path in ours for e in read_entries(path)}
    before = {k.lower(): v for k, v in read_export(before_path).items()}
    after = read_export(after_path)
    has_children = {k.rsplit("\\", 1)[0].lower() for k in after}
    entries = []
    for key, values in after.items():
        if not key.startswith(ROOT) or key[len(ROOT):].lower().startswith("installer\\"):
            continue
        old = before.get(key.lower())
        relative = key[len(ROOT):]
        if owned and tuple(identity(relative)) not in owned:
            continue
        if old is None and not values and key.lower() not in has_children:
            entries.append((relative, "*", ""))
        for name, data in values.items():
            if old is None or old.get(name) != data:
                if data.startswith("\0"):
                    # Registration writes strings only; another type would
                    # need its own column here.
                    raise SystemExit(f"registry.py: {key} {name!r} is not a string: {data[1:]}")
                entries.append((relative, name, data.replace(folder, "[INSTALLFOLDER]")))
    for entry in sorted(entries, key=lambda e: (e[0].lower(), e[1].lower())):
        print("\t".join(entry))


def read_entries(path):
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n").split("\t") for line in f if line.strip()]


# How the x86 registration of a DLL differs from its x64 registration, the
# one list of it. A 64-bit registration writes the type library's path under
# TypeLib\{...}\VERSION\LCID\win64 where a 32-bit one writes ...\win32 (the
# SYSKIND of the type library), and it fills the 32-bit view's keys too
# (Wow6432Node\...), which a 32-bit registration, living in that view,
# writes under their plain names. Every other key, name and value is the
# same. package.x86_rows checks this against a real x86 registration.
THIRTY_TWO_BIT_VIEW = "wow6432node\\"
SYSKIND_X64, SYSKIND_X86 = "win64", "win32"


def x86_from_x64(entries):
    derived = []
    for key, name, data in entries:
        if key.lower().startswith(THIRTY_TWO_BIT_VIEW):
            continue
        parts = key.split("\\")
        if parts[0].lower() == "typelib" and parts[-1].lower() == SYSKIND_X64:
            parts[-1] = SYSKIND_X86
        derived.append(("\\".join(parts), name, data))
    return sorted(derived, key=lambda e: (e[0].lower(), e[1].lower()))


def row_id(component, key, name):
    digest = hashlib.sha256(f"{component}|{key.lower()}|{name.lower()}".encode()).hexdigest()
    return "reg" + digest[:32].upper()


def wxs(pairs):
    for pair in pairs:
        component, path = pair.split("=", 1)
        for key, name, data in read_entries(path):
            if name == "*":
                continue
            attributes = f'Root="HKLM" Key={quoteattr(CLASSES + key)}'
            if name:
                attributes += f" Name={quoteattr(name)}"
            print(f'            <RegistryValue {attributes} Type="string" Value={quoteattr(data)} />')


def sql(pairs):
    for pair in pairs:
        component, path = pair.split("=", 1)
        for key, name, _ in read_entries(path):
            if name != "*":
                continue
            # "*": created on install, removed on uninstall.
            full = (CLASSES + key).replace("'", "''")
            print(f"INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) "
                  f"VALUES ('{row_id(component, key, name)}', 2, '{full}', '*', '{component}')")


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    if command == "diff":
        diff(*args)
    elif command == "wxs":
        wxs(args)
    elif command == "x86":
        for entry in x86_from_x64(read_entries(args[0])):
            print("\t".join(entry))
    elif command == "sql":
        sql(args)
    else:
        raise SystemExit(__doc__)
