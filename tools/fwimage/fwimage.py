#!/usr/bin/env python3
"""Firmware files for the modules' EFI images, written from the PI firmware
file system's layouts: a dependency expression (<Module>.depex), a firmware
file (<Module>.ffs) and an EDK II binary module description (<Module>.inf)
beside each image, and a firmware volume holding a list of firmware files.

  fwimage.py module --modules Modules.toml --name NAME --kind PEI|DXE --efi IMAGE
  fwimage.py volume --modules Modules.toml --images DIR -o OUT.fv
  fwimage.py wrap -o OUT.fv FILE.ffs...      (a volume around given files)
  fwimage.py budgets --modules Modules.toml  (one "Name bytes" line each)

Every output depends only on its inputs: no time stamps, no paths."""

import argparse
import pathlib
import re
import struct
import sys
import tomllib
import uuid

# Firmware file types and section types.
FILE_TYPE = {"PEI": 0x06, "DXE": 0x07}  # EFI_FV_FILETYPE_PEIM, _DRIVER
FILE_TYPE_PAD = 0xF0                    # EFI_FV_FILETYPE_FFS_PAD
SECTION_PE32 = 0x10
SECTION_DXE_DEPEX = 0x13
SECTION_VERSION = 0x14
SECTION_USER_INTERFACE = 0x15
SECTION_RAW = 0x19
SECTION_PEI_DEPEX = 0x1B

FILE_HEADER_SIZE = 24                   # EFI_FFS_FILE_HEADER
SECTION_HEADER_SIZE = 4                 # EFI_COMMON_SECTION_HEADER
FFS_ATTRIB_CHECKSUM = 0x40              # the file checksum covers the data
FFS_FIXED_CHECKSUM = 0xAA               # file checksum without that attribute
# Header construction, header valid, data valid: a complete file. Written in
# the sense of erase polarity 0; a volume of polarity 1 stores the complement.
FILE_STATE = 0x07
# FFS_ATTRIB_DATA_ALIGNMENT (bits 3-5): the alignment each value stands for.
DATA_ALIGNMENTS = [1, 16, 128, 512, 1024, 4096, 32768, 65536]

DEPEX_OPCODES = {"BEFORE": 0x00, "AFTER": 0x01, "PUSH": 0x02, "AND": 0x03, "OR": 0x04,
                 "NOT": 0x05, "TRUE": 0x06, "FALSE": 0x07, "END": 0x08}

FFS2_GUID = "8C8CE578-8A3D-4F1C-9935-896185C32DD3"  # EFI_FIRMWARE_FILE_SYSTEM2_GUID
FV_SIGNATURE = b"_FVH"
FV_REVISION = 2
FV_BLOCK_SIZE = 0x1000
# Readable, memory-mapped (PEI modules execute in place), erase polarity 1,
# sticky write; the alignment field is added per volume.
FVB2_READ_ENABLED_CAP = 0x00000002
FVB2_READ_STATUS = 0x00000004
FVB2_STICKY_WRITE = 0x00000200
FVB2_MEMORY_MAPPED = 0x00000400
FVB2_ERASE_POLARITY = 0x00000800
FV_ATTRIBUTES = (FVB2_READ_ENABLED_CAP | FVB2_READ_STATUS | FVB2_STICKY_WRITE |
                 FVB2_MEMORY_MAPPED | FVB2_ERASE_POLARITY)
ERASED = 0xFF


class FwImageError(Exception):
    pass


def guid_bytes(text):
    """A GUID in registry form as its 16 bytes in the UEFI layout."""
    try:
        return uuid.UUID(text).bytes_le
    except ValueError:
        raise FwImageError(f"not a GUID: {text!r}") from None


def align_up(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def checksum8(data):
    """The byte that makes DATA plus itself sum to zero."""
    return -sum(data) & 0xFF


def checksum16(data):
    words = struct.unpack(f"<{len(data) // 2}H", data)
    return -sum(words) & 0xFFFF


# --- Module descriptions -----------------------------------------------------

def load_modules(path):
    with open(path, "rb") as f:
        config = tomllib.load(f)
    modules = config.get("modules", {})
    for name, module in modules.items():
        if module.get("kind") not in FILE_TYPE:
            raise FwImageError(f"{path}: {name}: kind must be PEI or DXE")
        guid_bytes(module.get("file_guid", ""))
        if not isinstance(module.get("budget"), int) or module["budget"] <= 0:
            raise FwImageError(f"{path}: {name}: budget must be a positive number of bytes")
    return config


def compile_depex(text, kind, config):
    """A dependency expression in infix form as PI opcodes, ending in END."""
    names = dict(config.get("guids", {}))
    names.update({n: m["file_guid"] for n, m in config.get("modules", {}).items()})
    tokens = re.findall(r"[()]|[^\s()]+", text)
    out = bytearray()

    def guid_of(token):
        if token not in names:
            raise FwImageError(f"dependency expression {text!r}: unknown name {token!r}")
        return guid_bytes(names[token])

    if tokens and tokens[0] in ("BEFORE", "AFTER"):
        if kind != "DXE":
            raise FwImageError(f"dependency expression {text!r}: {tokens[0]} is for DXE drivers only")
        if len(tokens) != 2:
            raise FwImageError(f"dependency expression {text!r}: {tokens[0]} takes one name and stands alone")
        return bytes([DEPEX_OPCODES[tokens[0]]]) + guid_of(tokens[1]) + bytes([DEPEX_OPCODES["END"]])

    position = 0

    def peek():
        return tokens[position] if position < len(tokens) else None

    def take(expected=None):
        nonlocal position
        token = peek()
        if token is None or (expected is not None and token != expected):
            raise FwImageError(f"dependency expression {text!r}: expected {expected or 'an operand'}")
        position += 1
        return token

    def binary(operator, operand):
        operand()
        while peek() == operator:
            take()
            operand()
            out.append(DEPEX_OPCODES[operator])

    def disjunction():
        binary("OR", conjunction)

    def conjunction():
        binary("AND", negation)

    def negation():
        if peek() == "NOT":
            take()
            negation()
            out.append(DEPEX_OPCODES["NOT"])
            return
        token = take()
        if token == "(":
            disjunction()
            take(")")
        elif token in ("TRUE", "FALSE"):
            out.append(DEPEX_OPCODES[token])
        elif token in DEPEX_OPCODES or token == ")":
            raise FwImageError(f"dependency expression {text!r}: {token} where an operand belongs")
        else:
            out.append(DEPEX_OPCODES["PUSH"])
            out.extend(guid_of(token))

    disjunction()
    if peek() is not None:
        raise FwImageError(f"dependency expression {text!r}: unexpected {peek()!r}")
    out.append(DEPEX_OPCODES["END"])
    return bytes(out)


# --- Sections, files, volumes ------------------------------------------------

def section(section_type, data):
    size = SECTION_HEADER_SIZE + len(data)
    if size >= 1 << 24:
        raise FwImageError("section too large for a 24-bit size")
    return size.to_bytes(3, "little") + bytes([section_type]) + data


def ucs2(text):
    return (text + "\0").encode("utf-16-le")


def pe_section_alignment(image):
    """SectionAlignment of a PE/PE32+ image (same offset in both headers)."""
    if image[:2] != b"MZ":
        raise FwImageError("not a PE image (no MZ header)")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise FwImageError("not a PE image (no PE signature)")
    return struct.unpack_from("<I", image, pe + 24 + 32)[0]


def data_alignment_code(alignment):
    """The smallest FFS data alignment value that guarantees ALIGNMENT."""
    for code, value in enumerate(DATA_ALIGNMENTS):
        if value >= alignment:
            return code
    raise FwImageError(f"no firmware file alignment reaches {alignment} bytes")


def firmware_file(name_guid, file_type, sections, image_section_index=None, image_alignment=1):
    """A firmware file of SECTIONS (each 4-byte aligned in the data). The data
    of section IMAGE_SECTION_INDEX (after its header) lands on IMAGE_ALIGNMENT
    within the file data, by a raw padding section before it when needed; the
    file's data alignment attribute then guarantees it in any volume."""
    data = bytearray()
    for index, body in enumerate(sections):
        data.extend(b"\0" * (align_up(len(data), 4) - len(data)))
        if index == image_section_index and image_alignment > 4:
            misplaced = (len(data) + SECTION_HEADER_SIZE) % image_alignment
            if misplaced:
                pad = image_alignment - misplaced
                if pad < SECTION_HEADER_SIZE:
                    pad += image_alignment
                data.extend(section(SECTION_RAW, b"\0" * (pad - SECTION_HEADER_SIZE)))
        data.extend(body)
    attributes = FFS_ATTRIB_CHECKSUM | data_alignment_code(image_alignment) << 3
    return file_bytes(name_guid, file_type, attributes, bytes(data))


def file_bytes(name_guid, file_type, attributes, data, state=FILE_STATE):
    size = FILE_HEADER_SIZE + len(data)
    if size >= 1 << 24:
        raise FwImageError("firmware file too large for a 24-bit size")
    file_checksum = checksum8(data) if attributes & FFS_ATTRIB_CHECKSUM else FFS_FIXED_CHECKSUM
    # The header checksum is taken with the file checksum and the state as 0.
    header = bytearray(name_guid + bytes([0, 0, file_type, attributes]) +
                       size.to_bytes(3, "little") + b"\0")
    header[16] = checksum8(header)
    header[17] = file_checksum
    header[23] = state
    return bytes(header) + data


def file_data_alignment(ffs):
    return DATA_ALIGNMENTS[(ffs[19] >> 3) & 7]


def volume(files):
    """A firmware volume (FFS2, erase polarity 1) holding FILES in order, each
    at an 8-byte boundary, pad files where a file's data alignment asks."""
    block_map = struct.pack("<IIII", 0, 0, 0, 0)  # one entry, then the terminator
    header_length = 56 + len(block_map)
    alignment = max([8] + [file_data_alignment(f) for f in files])
    body = bytearray()
    offset = header_length
    for ffs in files:
        start = align_up(offset, 8)
        data_alignment = file_data_alignment(ffs)
        if (start + FILE_HEADER_SIZE) % data_alignment:
            padded = align_up(start + 2 * FILE_HEADER_SIZE, data_alignment) - FILE_HEADER_SIZE
            pad_data = bytes([ERASED]) * (padded - start - FILE_HEADER_SIZE)
            body.extend(bytes([ERASED]) * (start - offset))
            body.extend(polarity1(file_bytes(bytes(16), FILE_TYPE_PAD, 0, pad_data)))
            offset = start = padded
        body.extend(bytes([ERASED]) * (start - offset))
        body.extend(polarity1(ffs))
        offset = start + len(ffs)
    length = align_up(max(offset, header_length + 1), FV_BLOCK_SIZE)
    body.extend(bytes([ERASED]) * (length - offset))
    attributes = FV_ATTRIBUTES | (alignment.bit_length() - 1) << 16
    header = bytearray(bytes(16) + guid_bytes(FFS2_GUID) +
                       struct.pack("<Q4sIHHHBB", length, FV_SIGNATURE, attributes, header_length,
                                   0, 0, 0, FV_REVISION) +
                       struct.pack("<II", length // FV_BLOCK_SIZE, FV_BLOCK_SIZE) + block_map[8:])
    struct.pack_into("<H", header, 50, checksum16(header))
    return bytes(header) + bytes(body)


def polarity1(ffs):
    """The file as a volume of erase polarity 1 stores it: state complemented."""
    return ffs[:23] + bytes([~ffs[23] & 0xFF]) + ffs[24:]


# --- Per-module outputs ------------------------------------------------------

def module_outputs(config, name, kind, image):
    modules = config.get("modules", {})
    if name not in modules:
        raise FwImageError(f"{name} has no entry in the module list")
    module = modules[name]
    if module["kind"] != kind:
        raise FwImageError(f"{name} is built as {kind} but listed as {module['kind']}")
    depex = compile_depex(module["depex"], kind, config)
    version, build = config.get("version", "1.0"), config.get("build", 0)
    sections = [section(SECTION_PEI_DEPEX if kind == "PEI" else SECTION_DXE_DEPEX, depex),
                section(SECTION_PE32, image),
                section(SECTION_USER_INTERFACE, ucs2(name)),
                section(SECTION_VERSION, struct.pack("<H", build) + ucs2(version))]
    # A PEI module executes where it lies: its image needs its own section
    # alignment in flash. A DXE driver is copied into memory before it runs.
    image_alignment = pe_section_alignment(image) if kind == "PEI" else 1
    ffs = firmware_file(guid_bytes(module["file_guid"]), FILE_TYPE[kind], sections,
                        image_section_index=1, image_alignment=image_alignment)
    return depex, ffs, inf_text(name, kind, module["file_guid"], version)


def inf_text(name, kind, file_guid, version):
    module_type, arch, depex_type = (("PEIM", "IA32", "PEI_DEPEX") if kind == "PEI"
                                     else ("DXE_DRIVER", "X64", "DXE_DEPEX"))
    return f"""## @file
#  {name}: binary {module_type} for {arch}, with its dependency expression.
##

[Defines]
  INF_VERSION                    = 0x00010005
  BASE_NAME                      = {name}
  FILE_GUID                      = {file_guid}
  MODULE_TYPE                    = {module_type}
  VERSION_STRING                 = {version}

[Binaries.{arch}]
  PE32|{name}.efi|*
  {depex_type}|{name}.depex|*
"""


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    m = commands.add_parser("module", help="<Module>.depex, .ffs and .inf beside an image")
    m.add_argument("--modules", required=True)
    m.add_argument("--name", required=True)
    m.add_argument("--kind", required=True, choices=sorted(FILE_TYPE))
    m.add_argument("--efi", required=True)
    v = commands.add_parser("volume", help="a volume of every listed module's .ffs")
    v.add_argument("--modules", required=True)
    v.add_argument("--images", required=True)
    v.add_argument("-o", "--output", required=True)
    w = commands.add_parser("wrap", help="a volume around the given firmware files")
    w.add_argument("-o", "--output", required=True)
    w.add_argument("files", nargs="+")
    b = commands.add_parser("budgets", help="each module's size budget")
    b.add_argument("--modules", required=True)
    args = parser.parse_args(argv)

    try:
        if args.command == "module":
            config = load_modules(args.modules)
            efi = pathlib.Path(args.efi)
            depex, ffs, inf = module_outputs(config, args.name, args.kind, efi.read_bytes())
            efi.with_suffix(".depex").write_bytes(depex)
            efi.with_suffix(".ffs").write_bytes(ffs)
            efi.with_suffix(".inf").write_bytes(inf.encode())
        elif args.command == "volume":
            config = load_modules(args.modules)
            images = pathlib.Path(args.images)
            files = [(images / f"{name}.ffs").read_bytes() for name in config["modules"]]
            pathlib.Path(args.output).write_bytes(volume(files))
        elif args.command == "wrap":
            pathlib.Path(args.output).write_bytes(volume([pathlib.Path(f).read_bytes() for f in args.files]))
        elif args.command == "budgets":
            for name, module in load_modules(args.modules)["modules"].items():
                print(name, module["budget"])
    except (FwImageError, OSError, tomllib.TOMLDecodeError) as error:
        print(f"fwimage: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
