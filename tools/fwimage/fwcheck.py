#!/usr/bin/env python3
"""Checks firmware volumes and firmware files with UEFIExtract (Debian's
uefitool-cli), a parser that is not ours, against the module list: each
module's file GUID, file type, sections in order, user-interface name,
version, dependency expression, valid header and data checksums, and a PEI
image placed at its own section alignment so it executes in place. Any
complaint UEFIExtract prints fails the check too.

  fwcheck.py --modules Modules.toml FILE.fv      every listed module, in order
  fwcheck.py --modules Modules.toml FILE.ffs...  each file wrapped in a volume

A volume must hold exactly the listed modules; a firmware file is taken to
be the module its file name says."""

import argparse
import itertools
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import tomllib

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import fwimage  # noqa: E402  (only to wrap a single file in a volume)

FILE_SUBTYPE = {"PEI": ("06h", "PEI module"), "DXE": ("07h", "DXE driver")}
SECTIONS = {"PEI": ["PEI dependency", "PE32 image", "UI", "Version"],
            "DXE": ["DXE dependency", "PE32 image", "UI", "Version"]}
MACHINE = {"PEI": "x86", "DXE": "x86-64"}
FFS2 = "8C8CE578-8A3D-4F1C-9935-896185C32DD3"
# FFS_ATTRIB_DATA_ALIGNMENT values, from the PI firmware file system.
DATA_ALIGNMENTS = [1, 16, 128, 512, 1024, 4096, 32768, 65536]
# UEFIExtract says this of any volume that is not a whole flash image.
BENIGN = re.compile(r"not a single Volume Top File is found")


class Item:
    """One node of UEFIExtract's dump: its info.txt fields and its children."""

    def __init__(self, path):
        self.path = path
        self.fields = {}
        self.lines = (path / "info.txt").read_text(errors="replace").splitlines()
        for line in self.lines:
            key, sep, value = line.partition(": ")
            if sep:
                self.fields.setdefault(key, []).append(value.strip())
        children = [d for d in path.iterdir() if d.is_dir() and (d / "info.txt").exists()]
        children.sort(key=lambda d: int(d.name.split(" ", 1)[0]))
        self.children = [Item(d) for d in children]

    def get(self, key, index=0):
        """The INDEX-th value of KEY ("Type" is the item's kind, then its code)."""
        values = self.fields.get(key, [])
        return values[index] if index < len(values) else ""

    def number(self, key):
        """A field like "12E8h" or "562h (1378)" as a number."""
        match = re.match(r"([0-9A-Fa-f]+)h", self.get(key))
        return int(match.group(1), 16) if match else None

    def body(self):
        return (self.path / "body.bin").read_bytes()

    def parsed_depex(self):
        if "Parsed expression:" not in self.lines:
            return None
        return self.lines[self.lines.index("Parsed expression:") + 1:]


def guid_names(config):
    names = {n: g.upper() for n, g in config.get("guids", {}).items()}
    names.update({n: m["file_guid"].upper() for n, m in config["modules"].items()})
    return names


def depex_problems(section, text, names):
    """The parsed expression must mean what the module list writes: the same
    truth value for every assignment of its GUIDs. BEFORE and AFTER, which
    UEFIExtract does not print, are compared byte for byte."""
    tokens = re.findall(r"[()]|[^\s()]+", text)
    words = {"BEFORE", "AFTER", "AND", "OR", "NOT", "TRUE", "FALSE", "(", ")"}
    unknown = [t for t in tokens if t not in names and t not in words]
    if unknown:
        return [f"dependency expression {text} names unknown {unknown}"]
    if tokens and tokens[0] in ("BEFORE", "AFTER"):
        opcode = 0x00 if tokens[0] == "BEFORE" else 0x01
        want = bytes([opcode]) + fwimage.guid_bytes(names[tokens[1]]) + bytes([0x08])
        return [] if section.body() == want else [f"dependency expression is not {text}"]
    parsed = section.parsed_depex()
    if not parsed or parsed[-1] != "END":
        return [f"no dependency expression UEFIExtract can read (expected {text})"]
    operands = sorted({names[t] for t in tokens if t in names})
    python = " ".join({"AND": "and", "OR": "or", "NOT": "not", "TRUE": "True",
                       "FALSE": "False"}.get(t, f"v[{names[t]!r}]" if t in names else t)
                      for t in tokens)
    for values in itertools.product([False, True], repeat=len(operands)):
        v = dict(zip(operands, values))
        stack = []
        for step in parsed[:-1]:
            op, _, guid = step.partition(" ")
            if op == "PUSH":
                stack.append(v.get(guid.upper(), None))
            elif op in ("TRUE", "FALSE"):
                stack.append(op == "TRUE")
            elif op == "NOT" and stack:
                stack.append(not stack.pop())
            elif op in ("AND", "OR") and len(stack) >= 2:
                b, a = stack.pop(), stack.pop()
                stack.append(a and b if op == "AND" else a or b)
            else:
                return [f"dependency expression step {step!r} is not expected in {text}"]
        if len(stack) != 1 or None in stack or stack[0] != eval(python, {"__builtins__": {}, "v": v}):
            return [f"dependency expression {' '.join(parsed)} does not mean {text}"]
    return []


def file_problems(item, name, module, config, names):
    kind = module["kind"]
    problems = []
    type_code, subtype = FILE_SUBTYPE[kind]
    if item.get("File GUID").upper() != module["file_guid"].upper():
        problems.append(f"file GUID {item.get('File GUID')}, expected {module['file_guid']}")
    if item.get("Type", 1) != type_code or item.get("Subtype") != subtype:
        problems.append(f"file type {item.get('Type', 1)} ({item.get('Subtype')}), expected {type_code}")
    for checksum in ("Header checksum", "Data checksum"):
        if not item.get(checksum).endswith(", valid"):
            problems.append(f"{checksum.lower()} {item.get(checksum) or 'missing'}")
    if item.get("Text") != name:
        problems.append(f"name {item.get('Text')!r}, expected {name!r}")

    sections = item.children
    kinds = [s.get("Subtype") for s in sections]
    # A raw section may stand right before the image: it only pads.
    kept = [s for i, s in enumerate(sections)
            if not (kinds[i] == "Raw" and i + 1 < len(kinds) and kinds[i + 1] == "PE32 image")]
    if [s.get("Subtype") for s in kept] != SECTIONS[kind]:
        return problems + [f"sections {kinds}, expected {SECTIONS[kind]}"]
    depex, image, ui, version = kept
    problems += depex_problems(depex, module["depex"], names)
    if image.get("Machine type") != MACHINE[kind] or image.get("Subsystem") != "000Bh":
        problems.append(f"image for {image.get('Machine type')} subsystem {image.get('Subsystem')}")
    if ui.get("Text") != name:
        problems.append(f"user-interface section {ui.get('Text')!r}, expected {name!r}")
    want_version = (str(config.get("build", 0)), config.get("version", "1.0"))
    if (version.get("Build number"), version.get("Version string")) != want_version:
        problems.append(f"version {version.get('Build number')} {version.get('Version string')!r}, "
                        f"expected {want_version[0]} {want_version[1]!r}")

    # The file's data alignment must hold where the volume put it; a PEI
    # image must start at its own section alignment, and the file's alignment
    # must guarantee that wherever a volume places the file.
    declared = DATA_ALIGNMENTS[(item.number("Attributes") >> 3) & 7]
    data_base = item.number("Base") + item.number("Header size")
    if data_base % declared:
        problems.append(f"file data at {data_base:#x}, not on its {declared}-byte alignment")
    if kind == "PEI":
        body = image.body()
        pe = struct.unpack_from("<I", body, 0x3C)[0]
        section_alignment = struct.unpack_from("<I", body, pe + 24 + 32)[0]
        image_base = image.number("Base") + image.number("Header size")
        if (image_base - data_base) % section_alignment or declared < section_alignment:
            problems.append(f"image at file data offset {image_base - data_base:#x} with data "
                            f"alignment {declared}: not kept on its section alignment "
                            f"{section_alignment}")
    return problems


def check_volume(fv, expected, config, uefiextract, report, label=None):
    """Unpacks FV with UEFIExtract and checks its files against EXPECTED,
    the module names it must hold in order. Returns the number of failures."""
    names = guid_names(config)
    label = label or fv
    with tempfile.TemporaryDirectory() as work:
        copy = pathlib.Path(work) / "volume.fv"
        shutil.copyfile(fv, copy)
        run = subprocess.run([uefiextract, str(copy), "all"], capture_output=True, text=True)
        said = [line for line in (run.stdout + run.stderr).splitlines()
                if line.strip() and not BENIGN.search(line)]
        dump = pathlib.Path(work) / "volume.fv.dump"
        failures = 0
        if said:
            for line in said:
                report(f"FAIL {label}: UEFIExtract says: {line}")
            failures += 1
        volumes = [Item(d) for d in dump.iterdir() if d.is_dir()] if dump.is_dir() else []
        if len(volumes) != 1:
            report(f"FAIL {label}: UEFIExtract finds {len(volumes)} volumes, expected 1")
            return failures + 1
        fv_item = volumes[0]
        problems = []
        if fv_item.get("FileSystem GUID") != FFS2 or not fv_item.get("Checksum").endswith(", valid"):
            problems.append(f"volume {fv_item.get('FileSystem GUID')} checksum {fv_item.get('Checksum')}")
        files = [f for f in fv_item.children if f.get("Type") == "File" and f.get("Subtype") != "Pad"]
        pads = [f for f in fv_item.children if f.get("Subtype") == "Pad"]
        for pad in pads:
            if not (pad.get("Header checksum").endswith(", valid") and
                    pad.get("Data checksum").endswith(", valid")):
                problems.append(f"pad file at {pad.get('Base')} with a bad checksum")
        found = [f.get("Text") for f in files]
        if found != expected:
            problems.append(f"files {found}, expected {expected}")
        for problem in problems:
            report(f"FAIL {label}: {problem}")
        failures += bool(problems)
        for item in files:
            name = item.get("Text")
            module = config["modules"].get(name)
            if module is None:
                continue
            problems = file_problems(item, name, module, config, names)
            for problem in problems:
                report(f"FAIL {name}: {problem}")
            if problems:
                failures += 1
            else:
                report(f"ok   {name:<14} {module['file_guid']} {item.get('Subtype')}, "
                       f"sections {' '.join(s.get('Subtype') for s in item.children)}, "
                       f"checksums valid")
        return failures


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--modules", required=True)
    parser.add_argument("--uefiextract", default="UEFIExtract")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args(argv)
    if shutil.which(args.uefiextract) is None:
        print(f"fwcheck: {args.uefiextract} not found (package uefitool-cli)", file=sys.stderr)
        return 1
    with open(args.modules, "rb") as f:
        config = tomllib.load(f)
    failures = 0
    for path in map(pathlib.Path, args.files):
        if path.suffix == ".ffs":
            with tempfile.TemporaryDirectory() as work:
                wrapped = pathlib.Path(work) / (path.stem + ".fv")
                wrapped.write_bytes(fwimage.volume([path.read_bytes()]))
                failures += check_volume(wrapped, [path.stem], config, args.uefiextract, print, path)
        else:
            failures += check_volume(path, list(config["modules"]), config, args.uefiextract, print)
    if failures:
        print(f"fwcheck: {failures} failures", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
