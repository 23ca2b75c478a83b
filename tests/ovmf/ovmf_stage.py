#!/usr/bin/env python3
"""The OVMF stage: boots OVMF (an EDK II build) under QEMU with the DXE drivers
of the firmware build and the test images of tests/ovmf, then checks what they
wrote to the debug port (0x402): the four inventory documents against the
SMBIOS values QEMU was given, and the verdicts of the test applications.

    ovmf_stage.py --images DIR --test-images DIR --work DIR

Exit status 0 when everything held, 1 with the reason and the logs otherwise.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import uuid

# What QEMU is told to put into its SMBIOS tables (-smbios type=N,key=value).
SMBIOS = {
    0: {"vendor": "Example Firmware Works, board support and management path division",
        "version": "4.2.1 (management link build 2026-03-14, inventory over JSON)",
        "date": "03/14/2026"},
    1: {"manufacturer": "Example Systems International, server and workstation group",
        "product": "Model 7 rack server with separate management controller", "version": "1.0",
        "serial": "SYS-0042", "uuid": "4c4c4544-0037-3810-8052-b4c04f4e5a31"},
    2: {"manufacturer": "Example Boards and Backplanes, mainboard engineering",
        "product": "EB-7146 dual-socket mainboard, management Ethernet on board",
        "version": "rev B", "serial": "BB-123456-0001-7146", "asset": 'Asset "77"',
        "location": "Main"},
    4: {"manufacturer": "Example CPU",
        "version": "Example CPU Model 7146 @ 0.30GHz, 1 core, emulated by QEMU's TCG"},
    17: {"loc_pfx": "DIMM", "bank": "Bank 0 (channel A, slot 1)", "manufacturer": "Example RAM"},
}
# QEMU's own part of the type-17 structure: one device for this much memory.
MEMORY_MB = 256
# QEMU's TCG answers IA32_PERF_STATUS with 0x0000_0400_0000_03E8: ratio 3.
TCG_PERF_STATUS = 0x0000_0400_0000_03E8
LINK_TAG = 600000
FULL_CHUNK = 805  # 5-byte header, 799 text bytes, one extra zero
CHECKS = ["agent-entry-not-found", "agent-image-unloaded", "agent-nothing-fires",
          "niclink-installs-link", "niclink-open-device-error"]
EXIT_PASS, EXIT_FAIL = 33, 35  # isa-debug-exit: (value << 1) | 1 for 0x10, 0x11

DISK_FILES = ["SmbiosReadDxe.efi", "CaptureLinkDxe.efi", "SignalReadyToBoot.efi",
              "AgentWithoutHobCheck.efi", "NicLinkAbsentDeviceCheck.efi", "QemuExit.efi"]
DRIVERS = ["InventoryDxe.efi", "MgmtAgentDxe.efi", "NicLinkDxe.efi"]


class StageError(Exception):
    """A run that cannot be judged: what went wrong, in one line."""


def smbios_args():
    args = []
    for kind, fields in SMBIOS.items():
        # QEMU's option syntax doubles a comma inside a value.
        text = ",".join(f"{k}={v.replace(',', ',,')}" for k, v in fields.items())
        args += ["-smbios", f"type={kind},{text}"]
    return args


def clock_text(perf_status):
    mhz = ((perf_status >> 8) & 0xFF) * 100
    return f"{mhz // 1000}.{mhz % 1000:03d} GHz"


def expected_documents():
    t0, t1, t2, t4, t17 = (SMBIOS[k] for k in (0, 1, 2, 4, 17))
    inventory = {
        "BIOSVendor": t0["vendor"], "BIOSVersion": t0["version"],
        "BIOSReleaseDate": t0["date"],
        "SystemManufacturer": t1["manufacturer"], "SystemManuProductName": t1["product"],
        "BaseboardManufacturer": t2["manufacturer"], "BaseboardProduct": t2["product"],
        "BaseboardSerialNumber": t2["serial"], "BaseboardAssetTag": t2["asset"],
        "Memory": [{"MemorySize": str(MEMORY_MB), "MemoryDeviceLocator": t17["loc_pfx"] + " 0",
                    "MemoryBankLocator": t17["bank"]}],
        "ProcessorVersion": t4["version"], "ProcessorClock": clock_text(TCG_PERF_STATUS),
    }
    # SMBIOS keeps the first three UUID fields little-endian; the document
    # writes the 16 bytes from the last to the first.
    smbios_uuid = uuid.UUID(t1["uuid"]).bytes_le
    return {2: inventory, 3: {"UUID": smbios_uuid[::-1].hex()}, 4: {"uPath": "Q7146"},
            5: {"ModelName": t2["product"]}}


def cjson_print(value, depth=0):
    """Text as cJSON's formatted printer lays it out."""
    if isinstance(value, str):
        return json.dumps(value)
    if isinstance(value, list):
        return "[" + ", ".join(cjson_print(v, depth + 1) for v in value) + "]"
    inner = "\t" * (depth + 1)
    members = [f"{inner}{json.dumps(k)}:\t{cjson_print(v, depth + 1)}" for k, v in value.items()]
    return "{\n" + ",\n".join(members) + "\n" + "\t" * depth + "}"


def records(log_text):
    return [line[len("#mgmt "):] for line in log_text.splitlines() if line.startswith("#mgmt ")]


def perf_status_reads(recs):
    return [int(r.split()[2], 16) for r in recs if r.startswith("msr 0x198 ")]


def reassemble(recs):
    """Document texts by message id, in the order they started. Raises
    StageError for a chunk that breaks the upload's rules."""
    opened, docs, order = False, {}, []
    for rec in recs:
        m = re.fullmatch(r"link open (\d+) (\d+) (\S+)", rec)
        if m:
            if int(m[2]) != LINK_TAG:
                raise StageError(f"link opened with tag {m[2]}, not {LINK_TAG}")
            if m[3] == "EFI_SUCCESS":
                opened = m[1] != "0"
            continue
        m = re.fullmatch(r"link send (\d+) ([0-9a-f]*)", rec)
        if not m:
            continue
        payload = bytes.fromhex(m[2])
        if len(payload) != int(m[1]) or len(payload) < 5 or payload[1:3] != b"\x05\x00":
            raise StageError(f"malformed chunk: {rec[:60]}")
        if not opened:
            raise StageError("a chunk was sent while the link was closed")
        ident, seq, count = payload[0], payload[3], payload[4]
        doc = docs.setdefault(ident, {"count": count, "chunks": []})
        if ident not in order:
            order.append(ident)
        if count != doc["count"] or seq != len(doc["chunks"]) + 1 or seq > count:
            raise StageError(f"document {ident}: chunk {seq} of {count} out of order")
        doc["chunks"].append(payload[5:FULL_CHUNK - 1] if len(payload) == FULL_CHUNK else payload[5:])
    texts = {}
    for ident in order:
        doc = docs[ident]
        text = b"".join(doc["chunks"])
        if len(doc["chunks"]) < doc["count"] or b"\0" not in text:
            raise StageError(f"document {ident} never completed: {len(doc['chunks'])} of "
                             f"{doc['count']} chunks came")
        texts[ident] = text[:text.index(b"\0")].decode("utf-8", "replace")
    return texts


def check(log_text, exit_code, expected=None):
    """Everything wrong with a run, one line each; empty when it passed."""
    expected = expected_documents() if expected is None else expected
    recs = records(log_text)
    failures = []
    if exit_code != EXIT_PASS:
        why = {EXIT_FAIL: "a test image reported a failure",
               0: "the machine stopped without the exit device"}
        failures.append(f"QEMU exit status {exit_code}: {why.get(exit_code, 'QEMU failed')}")
    matches = (re.fullmatch(r"check (\S+) (pass|fail)", r) for r in recs)
    verdicts = dict(m.groups() for m in matches if m)
    failures += [f"check {name}: {verdicts.get(name, 'never ran')}" for name in CHECKS
                 if verdicts.get(name) != "pass"]
    msr = perf_status_reads(recs)
    if msr != [TCG_PERF_STATUS]:
        failures.append(f"IA32_PERF_STATUS read {', '.join(map(hex, msr)) or 'never'}, "
                        f"expected {hex(TCG_PERF_STATUS)} once")
    try:
        texts = reassemble(recs)
    except StageError as error:
        return failures + [str(error)]
    if list(texts) != list(expected):
        failures.append(f"documents came as ids {list(texts)}, expected {list(expected)}")
    for ident, want in expected.items():
        got = texts.get(ident)
        if got is None or got == cjson_print(want):
            continue
        try:
            parsed = json.loads(got)
        except ValueError:
            failures.append(f"document {ident} is not JSON: {got!r}")
            continue
        wrong = [f"{k}: {parsed.get(k)!r}, expected {v!r}" for k, v in want.items()
                 if parsed.get(k) != v]
        failures.append(f"document {ident} differs: " + ("; ".join(wrong) or
                        f"layout {got!r}, expected {cjson_print(want)!r}"))
    return failures


def simulator_differences(mgmt_sim, log_text, work):
    """Boots the simulator on the SMBIOS structures OVMF delivered and the
    processor ratio TCG showed; where its documents differ from OVMF's."""
    recs = records(log_text)
    table = {}
    for rec in recs:
        m = re.fullmatch(r"smbios (\d+) (\d+) EFI_SUCCESS ([0-9a-f]+)", rec)
        if m:
            table.setdefault((int(m[1]), int(m[2])), bytes.fromhex(m[3]))
    msr = perf_status_reads(recs)
    image = os.path.join(work, "smbios-from-ovmf.bin")
    scenario = os.path.join(work, "tcg-ratio.toml")
    documents = os.path.join(work, "simulator-documents")
    with open(image, "wb") as out:
        out.write(b"".join(table.values()) + bytes([127, 4, 0xFF, 0xFE, 0, 0]))
    with open(scenario, "w") as out:
        out.write(f"[cpu]\nratio = {(msr[0] >> 8) & 0xFF if msr else 0}\n")
    run_tool([mgmt_sim, "boot", "--smbios", image, "--scenario", scenario, "--documents",
              documents, "--boots", "1", "-q"], "mgmt-sim on OVMF's SMBIOS structures")
    ovmf = reassemble(recs)
    differences = []
    for ident, text in ovmf.items():
        try:
            with open(os.path.join(documents, f"doc-{ident}.json")) as doc:
                simulated = doc.read()
        except OSError:
            simulated = None
        if simulated != text:
            differences.append(f"the simulator's document {ident} is {simulated!r}, "
                               f"OVMF's {text!r}")
    return differences


def run_tool(args, what):
    try:
        done = subprocess.run(args, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise StageError(f"{what}: {error}")
    if done.returncode != 0:
        raise StageError(f"{what}: {(done.stderr or done.stdout).strip()}")
    return done.stdout


def make_disk(disk, files, startup):
    """A FAT image holding files (name -> path), startup.nsh and the launcher
    as the removable-media boot file."""
    with open(disk, "wb") as image:
        image.truncate(32 << 20)
    run_tool(["mformat", "-i", disk, "-T", "65536", "-h", "64", "-s", "32", "::"], "mformat")
    run_tool(["mmd", "-i", disk, "::/EFI", "::/EFI/BOOT"], "mmd")
    for name, path in files.items():
        run_tool(["mcopy", "-i", disk, path, "::/" + name], f"copying {name} to the disk")
    script = os.path.join(os.path.dirname(disk), "startup.nsh")
    with open(startup) as source, open(script, "w", newline="\r\n") as target:
        target.write(source.read())
    run_tool(["mcopy", "-i", disk, script, "::/startup.nsh"], "copying startup.nsh")


def verify_disk(disk, names):
    """Reads the directories back, so a broken image fails here, not as a
    firmware that finds nothing to boot."""
    listing = run_tool(["mdir", "-b", "-i", disk, "::/", "::/EFI/BOOT"],
                       f"boot disk {disk} is broken").upper()
    missing = [n for n in names if "/" + n.upper() not in listing]
    if missing:
        raise StageError(f"boot disk {disk} is broken: {', '.join(missing)} missing")


def boot(command, console_log, timeout):
    """Runs QEMU to its end; its exit status. A hang, a crash, or a firmware
    that stopped on a CPU exception (OVMF prints the registers and waits
    forever) is a StageError."""
    with open(console_log, "wb") as console:
        try:
            qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=console,
                                    stderr=subprocess.STDOUT, start_new_session=True)
        except OSError as error:
            raise StageError(f"QEMU did not start: {error}")
    deadline, exception = time.monotonic() + timeout, None
    while qemu.poll() is None:
        if exception is None:
            with open(console_log, "rb") as console:
                found = re.search(rb"!!!! X64 Exception[^\r\n]*", console.read())
            if found:
                exception = found[0].decode("ascii", "replace")
                deadline = min(deadline, time.monotonic() + 2)  # let the dump finish
        if time.monotonic() > deadline:
            os.killpg(qemu.pid, signal.SIGKILL)
            qemu.wait()
            raise StageError(f"the firmware stopped on a CPU exception: {exception}" if exception
                             else f"QEMU did not finish within {timeout} s (stopped)")
        time.sleep(0.2)
    if qemu.returncode < 0:
        raise StageError(f"QEMU ended by signal {signal.Signals(-qemu.returncode).name}")
    return qemu.returncode


def tail(path, lines=30):
    try:
        with open(path, "rb") as log:
            text = log.read().decode("utf-8", "replace")
    except OSError:
        return "(none)"
    text = re.sub(r"\x1b\[[0-9;=?]*[A-Za-z]", "", text).replace("\r", "")
    return "\n".join(text.splitlines()[-lines:]) or "(empty)"


def qemu_command(qemu, code, vars_copy, disk, debug_log):
    # TCG, also where KVM is there: the expected ProcessorClock is TCG's.
    return [qemu, "-machine", "q35", "-accel", "tcg", "-m", str(MEMORY_MB), "-smp", "1",
            "-nodefaults", "-nographic", "-serial", "stdio", "-nic", "none",
            "-drive", f"if=pflash,format=raw,readonly=on,file={code}",
            "-drive", f"if=pflash,format=raw,file={vars_copy}",
            "-drive", f"format=raw,file={disk},if=ide",
            "-debugcon", f"file:{debug_log}", "-global", "isa-debugcon.iobase=0x402",
            "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04"] + smbios_args()


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", required=True, help="the firmware build's images/")
    parser.add_argument("--test-images", required=True, help="the OVMF test images")
    parser.add_argument("--work", required=True, help="directory for the disk and the logs")
    parser.add_argument("--qemu", default="qemu-system-x86_64")
    parser.add_argument("--ovmf-code", default="/usr/share/OVMF/OVMF_CODE_4M.fd")
    parser.add_argument("--ovmf-vars", default="/usr/share/OVMF/OVMF_VARS_4M.fd")
    parser.add_argument("--timeout", type=int, default=300, help="seconds QEMU may run")
    parser.add_argument("--mgmt-sim", help="also compare the simulator's documents with OVMF's")
    opts = parser.parse_args(argv)
    started = time.monotonic()
    debug_log = os.path.join(opts.work, "debug-port.log")
    console_log = os.path.join(opts.work, "console.log")
    try:
        if shutil.which(opts.qemu) is None:
            raise StageError(f"QEMU ({opts.qemu}) not found: install qemu-system-x86, ovmf "
                             "and mtools (bash scripts/setup-deps.sh)")
        for firmware in (opts.ovmf_code, opts.ovmf_vars):
            if not os.path.isfile(firmware):
                raise StageError(f"OVMF ({firmware}) not found: install qemu-system-x86, ovmf "
                                 "and mtools (bash scripts/setup-deps.sh)")
        files = {n: os.path.join(opts.test_images, n) for n in DISK_FILES}
        files.update({n: os.path.join(opts.images, n) for n in DRIVERS})
        files["EFI/BOOT/BOOTX64.EFI"] = os.path.join(opts.test_images, "ShellLauncher.efi")
        absent = [p for p in files.values() if not os.path.isfile(p)]
        if absent:
            raise StageError(f"missing {', '.join(absent)}: build the firmware tree first")
        shutil.rmtree(opts.work, ignore_errors=True)
        os.makedirs(opts.work)
        disk = os.path.join(opts.work, "boot.img")
        make_disk(disk, files, os.path.join(here, "startup.nsh"))
        verify_disk(disk, [os.path.basename(n) for n in files] + ["startup.nsh"])
        vars_copy = os.path.join(opts.work, "vars.fd")
        shutil.copyfile(opts.ovmf_vars, vars_copy)
        booted = time.monotonic()
        status = boot(qemu_command(opts.qemu, opts.ovmf_code, vars_copy, disk, debug_log),
                      console_log, opts.timeout)
        qemu_seconds = time.monotonic() - booted
        with open(debug_log, "rb") as log:
            text = log.read().decode("utf-8", "replace")
        failures = check(text, status)
        if failures:
            raise StageError("; ".join(failures))
        # The same log against one wrong expected value must fail.
        wrong = expected_documents()
        wrong[5]["ModelName"] += "-wrong"
        if not check(text, status, wrong):
            raise StageError("the checker accepted a wrong expected value")
        compared = ""
        if opts.mgmt_sim:
            differences = simulator_differences(opts.mgmt_sim, text, opts.work)
            if differences:
                raise StageError("; ".join(differences))
            compared = ", the simulator writes the same from OVMF's SMBIOS structures"
    except StageError as error:
        print(f"ovmf: FAIL: {error}", file=sys.stderr)
        print(f"--- debug port ({debug_log}), last lines ---\n{tail(debug_log)}", file=sys.stderr)
        print(f"--- console ({console_log}), last lines ---\n{tail(console_log)}", file=sys.stderr)
        return 1
    print(f"ovmf: pass: 4 documents as QEMU's SMBIOS tables say{compared}, {len(CHECKS)} checks "
          f"passed, a wrong expected value fails (QEMU {qemu_seconds:.1f} s, "
          f"stage {time.monotonic() - started:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
