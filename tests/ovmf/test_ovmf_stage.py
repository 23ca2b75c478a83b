"""Tests of the OVMF stage's checker and runner, without booting anything.
testdata/debug-port.log is the debug-port log of a passing run on OVMF; after
a change of the SMBIOS values in ovmf_stage.py, copy build/ovmf/debug-port.log
of a passing `bash scripts/ovmf.sh` over it."""
import contextlib
import io
import os
import shutil
import sys
import tempfile
import time
import unittest

import ovmf_stage as stage

HERE = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(HERE, "testdata", "debug-port.log")) as _log:
    RECORDED = _log.read()


def upload(ident, text):
    """The log lines of one document's upload, cut as the reporter cuts it."""
    data = text.encode() + b"\0"
    count = len(data) // 799 + 1
    lines = ["#mgmt link open 1 600000 EFI_SUCCESS"]
    for seq in range(1, count + 1):
        piece = data[(seq - 1) * 799:seq * 799]
        chunk = bytes([ident, 5, 0, seq, count]) + piece + (b"\0" if len(piece) == 799 else b"")
        lines.append(f"#mgmt link send {len(chunk)} {chunk.hex()}")
    return lines + ["#mgmt link open 0 600000 EFI_SUCCESS"]


def passing_log(documents=None, drop=None):
    """A log that passes, built without the checker's own code; drop=(id, n)
    leaves out the n-th line of that document's upload."""
    documents = documents or stage.expected_documents()
    lines = [f"#mgmt msr 0x198 {hex(stage.TCG_PERF_STATUS)}"]
    for ident, doc in documents.items():
        upload_lines = upload(ident, stage.cjson_print(doc))
        if drop and drop[0] == ident:
            del upload_lines[drop[1]]
        lines += upload_lines
    return "\n".join(lines + [f"#mgmt check {c} pass" for c in stage.CHECKS]) + "\n"


class CheckerTest(unittest.TestCase):
    def test_recorded_run_passes_and_any_wrong_expected_value_fails(self):
        self.assertEqual(stage.check(RECORDED, stage.EXIT_PASS), [])
        for ident, key, value in [(5, "ModelName", "EB-7146"), (2, "BIOSVersion", "4.2.2"),
                                  (3, "UUID", "4c4c4544" * 4)]:
            wrong = stage.expected_documents()
            wrong[ident][key] = value
            failures = stage.check(RECORDED, stage.EXIT_PASS, wrong)
            self.assertEqual(len(failures), 1, failures)
            self.assertIn(f"document {ident} differs: {key}", failures[0])
        wrong = stage.expected_documents()
        wrong[2]["Memory"][0]["MemorySize"] = "512"
        self.assertIn("Memory", stage.check(RECORDED, stage.EXIT_PASS, wrong)[0])

    def test_recorded_inventory_needed_two_chunks(self):
        sends = [r for r in stage.records(RECORDED) if r.startswith("link send ")]
        self.assertEqual([int(r.split()[2]) for r in sends][:2], [805, 87])

    def test_values_rendered_as_the_documents_write_them(self):
        # SMBIOS stores 44 45 4c 4c 37 00 10 38 80 52 ... for this UUID.
        self.assertEqual(stage.expected_documents()[3]["UUID"], "315a4e4fc0b45280381000374c4c4544")
        self.assertEqual([stage.clock_text(r << 8) for r in (0, 3, 36, 255)],
                         ["0.000 GHz", "0.300 GHz", "3.600 GHz", "25.500 GHz"])
        self.assertEqual(stage.cjson_print({"uPath": "Q7146"}), '{\n\t"uPath":\t"Q7146"\n}')
        self.assertEqual(stage.cjson_print({"M": [{"a": "1"}, {"b": "2"}], "E": []}),
                         '{\n\t"M":\t[{\n\t\t\t"a":\t"1"\n\t\t}, {\n\t\t\t"b":\t"2"\n\t\t}],'
                         '\n\t"E":\t[]\n}')

    def test_chunk_boundaries_reassemble(self):
        for length in (0, 797, 798, 799, 1000, 1598):
            text = "x" * length
            self.assertEqual(stage.reassemble(stage.records("\n".join(upload(2, text)))),
                             {2: text}, length)

    def test_document_that_never_completes_is_a_clear_failure(self):
        self.assertEqual(stage.check(passing_log(), stage.EXIT_PASS), [])
        failures = stage.check(passing_log(drop=(2, 2)), stage.EXIT_PASS)
        self.assertEqual(failures, ["document 2 never completed: 1 of 2 chunks came"])
        closed = passing_log().replace("#mgmt link open 1 600000 EFI_SUCCESS\n", "", 1)
        self.assertIn("while the link was closed", stage.check(closed, stage.EXIT_PASS)[0])

    def test_exit_status_verdicts_and_processor_register(self):
        log = passing_log().replace("check agent-nothing-fires pass", "check agent-nothing-fires fail")
        log = log.replace("#mgmt check niclink-installs-link pass\n", "")
        log = log.replace(hex(stage.TCG_PERF_STATUS), "0x2400")
        self.assertEqual(stage.check(log, stage.EXIT_FAIL), [
            "QEMU exit status 35: a test image reported a failure",
            "check agent-nothing-fires: fail", "check niclink-installs-link: never ran",
            "IA32_PERF_STATUS read 0x2400, expected 0x400000003e8 once"])


class SimulatorComparisonTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.work)

    def test_simulator_gets_ovmfs_structures_and_ratio_and_differences_are_named(self):
        fake = os.path.join(self.work, "fake-sim")
        with open(fake, "w") as f:
            f.write("#!/bin/sh\n# boot --smbios T --scenario S --documents D ...\n"
                    "mkdir -p \"$7\" && for i in 2 3 4; do printf '{}' > \"$7/doc-$i.json\"; done\n")
        os.chmod(fake, 0o755)
        differences = stage.simulator_differences(fake, RECORDED, self.work)
        self.assertEqual([d.split(" is ")[0] for d in differences],
                         [f"the simulator's document {i}" for i in (2, 3, 4, 5)])
        self.assertIn("is None, OVMF's '{\\n\\t\"ModelName\"", differences[3])
        with open(os.path.join(self.work, "tcg-ratio.toml")) as f:
            self.assertEqual(f.read(), "[cpu]\nratio = 3\n")
        with open(os.path.join(self.work, "smbios-from-ovmf.bin"), "rb") as f:
            table = f.read()
        self.assertEqual((table[0], table[-6:]), (0, bytes([127, 4, 0xFF, 0xFE, 0, 0])))

    @unittest.skipIf("MGMT_SIM" not in os.environ, "MGMT_SIM names no mgmt-sim")
    def test_simulator_writes_what_ovmf_wrote_in_the_recorded_run(self):
        self.assertEqual(stage.simulator_differences(os.environ["MGMT_SIM"], RECORDED, self.work),
                         [])


@unittest.skipIf(shutil.which("mformat") is None, "mtools missing")
class RunnerTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.work)

    def test_broken_disk_image_is_refused_before_booting(self):
        image = os.path.join(self.work, "x.efi")
        with open(image, "wb") as f:
            f.write(b"MZ")
        disk = os.path.join(self.work, "boot.img")
        stage.make_disk(disk, {"a.efi": image, "EFI/BOOT/BOOTX64.EFI": image},
                        os.path.join(HERE, "startup.nsh"))
        stage.verify_disk(disk, ["a.efi", "BOOTX64.EFI", "startup.nsh"])
        with self.assertRaisesRegex(stage.StageError, "broken: b.efi missing"):
            stage.verify_disk(disk, ["a.efi", "b.efi"])
        with open(disk, "r+b") as f:
            f.write(bytes(4096))  # the boot sector and the first FAT
        with self.assertRaisesRegex(stage.StageError, "is broken"):
            stage.verify_disk(disk, ["a.efi"])

    def test_hanging_or_crashing_qemu_ends_with_a_reason(self):
        log = os.path.join(self.work, "console.log")
        started = time.monotonic()
        with self.assertRaisesRegex(stage.StageError, "did not finish within 1 s"):
            stage.boot([sys.executable, "-c", "import time; time.sleep(60)"], log, 1)
        # What OVMF prints before it waits forever.
        with self.assertRaisesRegex(stage.StageError, "CPU exception: !!!! X64 Exception Type - "
                                                      r"03\(#BP - Breakpoint\)  CPU Apic ID"):
            stage.boot(["sh", "-c", "printf '!!!! X64 Exception Type - 03(#BP - Breakpoint)  "
                        "CPU Apic ID - 00000000 !!!!\\r\\nRIP  - 0\\r\\n'; sleep 60"], log, 50)
        self.assertLess(time.monotonic() - started, 30)
        with self.assertRaisesRegex(stage.StageError, "ended by signal SIGSEGV"):
            stage.boot(["sh", "-c", "kill -SEGV $$"], log, 10)
        self.assertEqual(stage.boot(["sh", "-c", "exit 33"], log, 10), 33)

    def test_missing_qemu_or_ovmf_gives_one_clear_message(self):
        for options in (["--qemu", "/nonexistent/x"],
                        ["--qemu", "sh", "--ovmf-code", "/nonexistent/x"]):
            err = io.StringIO()
            with contextlib.redirect_stderr(err):
                status = stage.main(["--images", self.work, "--test-images", self.work,
                                     "--work", os.path.join(self.work, "w")] + options)
            self.assertEqual(status, 1)
            first = err.getvalue().splitlines()[0]
            self.assertRegex(first, r"^ovmf: FAIL: (QEMU|OVMF) \(/nonexistent/x\) not found: "
                                    "install qemu-system-x86, ovmf and mtools")


if __name__ == "__main__":
    unittest.main()
