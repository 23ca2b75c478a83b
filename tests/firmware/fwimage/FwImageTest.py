#!/usr/bin/env python3
"""The firmware-file tooling against faults: a damaged or misbuilt file must
fail UEFIExtract's check for the fault it carries, and a bad module list or
dependency expression is refused with a message instead of producing files.
Works on the throwaway images' firmware files (FWIMAGE_TEST_IMAGES) and their
module list (FWIMAGE_TEST_MODULES)."""

import copy
import io
import os
import pathlib
import sys
import tempfile
import tomllib
import unittest

TOOLS = pathlib.Path(__file__).resolve().parents[3] / "tools" / "fwimage"
sys.path.insert(0, str(TOOLS))
import fwcheck  # noqa: E402
import fwimage  # noqa: E402

IMAGES = pathlib.Path(os.environ.get("FWIMAGE_TEST_IMAGES", "."))
MODULES = pathlib.Path(os.environ.get("FWIMAGE_TEST_MODULES", "Modules.toml"))


def load_config():
    with open(MODULES, "rb") as f:
        return tomllib.load(f)


class CorruptionTest(unittest.TestCase):
    """Each variant of a good file breaks one thing; the check names it."""

    def setUp(self):
        self.config = load_config()
        self.pei = (IMAGES / "TinyPei.ffs").read_bytes()
        self.work = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.work.cleanup()

    def check(self, files, expected):
        """Failures and report lines of a volume holding FILES."""
        fv = pathlib.Path(self.work.name) / "test.fv"
        fv.write_bytes(fwimage.volume(files))
        lines = []
        failures = fwcheck.check_volume(fv, expected, self.config, "UEFIExtract", lines.append)
        return failures, "\n".join(lines)

    def rebuilt(self, name, config):
        kind = config["modules"][name]["kind"]
        image = (IMAGES / f"{name}.efi").read_bytes()
        return fwimage.module_outputs(config, name, kind, image)[1]

    def test_flipped_image_byte_fails_the_data_checksum(self):
        damaged = bytearray(self.pei)
        damaged[len(damaged) // 2] ^= 0x01
        failures, report = self.check([bytes(damaged)], ["TinyPei"])
        self.assertGreater(failures, 0)
        self.assertRegex(report, r"FAIL TinyPei: data checksum [0-9A-F]+h, invalid")

    def test_changed_file_type_fails_the_header_checksum(self):
        damaged = bytearray(self.pei)
        damaged[18] = 0x07  # DRIVER, checksum left as it was
        failures, report = self.check([bytes(damaged)], ["TinyPei"])
        self.assertGreater(failures, 0)
        self.assertRegex(report, r"FAIL TinyPei: header checksum [0-9A-F]+h, invalid")
        self.assertRegex(report, r"FAIL TinyPei: file type 07h")

    def test_other_dependency_expression_with_valid_checksums_fails(self):
        config = copy.deepcopy(self.config)
        config["modules"]["TinyPei"]["depex"] = "gTestFirstGuid OR gTestSecondGuid"
        failures, report = self.check([self.rebuilt("TinyPei", config)], ["TinyPei"])
        self.assertGreater(failures, 0)
        self.assertRegex(report, r"FAIL TinyPei: dependency expression .* does not mean")

    def test_pei_image_without_data_alignment_fails(self):
        # Checksums valid, but nothing keeps the image on its section
        # alignment once a volume places the file.
        image = (IMAGES / "TinyPei.efi").read_bytes()
        sections = [fwimage.section(fwimage.SECTION_PEI_DEPEX, bytes([0x06, 0x08])),
                    fwimage.section(fwimage.SECTION_PE32, image),
                    fwimage.section(fwimage.SECTION_USER_INTERFACE, fwimage.ucs2("TinyPei")),
                    fwimage.section(fwimage.SECTION_VERSION, b"\x07\x00" + fwimage.ucs2("2.5"))]
        guid = fwimage.guid_bytes(self.config["modules"]["TinyPei"]["file_guid"])
        ffs = fwimage.firmware_file(guid, fwimage.FILE_TYPE["PEI"], sections)
        failures, report = self.check([ffs], ["TinyPei"])
        self.assertGreater(failures, 0)
        self.assertRegex(report, r"FAIL TinyPei: image at .* not kept on its section alignment 32")

    def test_volume_without_a_listed_module_fails(self):
        failures, report = self.check([self.pei], ["TinyPei", "TinyDxe"])
        self.assertGreater(failures, 0)
        self.assertIn("files ['TinyPei'], expected ['TinyPei', 'TinyDxe']", report)


class ModuleListTest(unittest.TestCase):
    """Bad descriptions are refused before any file is written."""

    def setUp(self):
        self.config = load_config()
        self.image = (IMAGES / "TinyPei.efi").read_bytes()

    def refused(self, depex, kind="PEI", name="TinyPei"):
        config = copy.deepcopy(self.config)
        config["modules"]["TinyPei"]["depex"] = depex
        with self.assertRaises(fwimage.FwImageError) as raised:
            fwimage.module_outputs(config, name, kind, self.image)
        return str(raised.exception)

    def test_bad_dependency_expressions_are_refused(self):
        cases = {
            "BEFORE TinyDxe": "BEFORE is for DXE drivers only",
            "gTestFirstGuid AND gUnknownGuid": "unknown name 'gUnknownGuid'",
            "(gTestFirstGuid OR gTestSecondGuid": "expected )",
            "gTestFirstGuid AND": "expected an operand",
            "gTestFirstGuid gTestSecondGuid": "unexpected 'gTestSecondGuid'",
            "AND gTestFirstGuid": "AND where an operand belongs",
            "": "expected an operand",
        }
        for depex, message in cases.items():
            with self.subTest(depex=depex):
                self.assertIn(message, self.refused(depex))

    def test_before_and_after_stand_alone(self):
        config = copy.deepcopy(self.config)
        config["modules"]["TinyDxe"]["depex"] = "AFTER TinyPei AND gTestFirstGuid"
        image = (IMAGES / "TinyDxe.efi").read_bytes()
        with self.assertRaisesRegex(fwimage.FwImageError, "takes one name and stands alone"):
            fwimage.module_outputs(config, "TinyDxe", "DXE", image)

    def test_module_must_be_listed_with_its_kind(self):
        self.assertIn("TinyPei is built as DXE but listed as PEI",
                      self.refused(self.config["modules"]["TinyPei"]["depex"], kind="DXE"))
        self.assertIn("Unlisted has no entry", self.refused("TRUE", name="Unlisted"))

    def test_command_line_reports_a_bad_list_without_writing(self):
        with tempfile.TemporaryDirectory() as work:
            bad = pathlib.Path(work) / "Bad.toml"
            bad.write_text('[modules.TinyPei]\nkind = "PEI"\nfile_guid = "not-a-guid"\n'
                           'depex = "TRUE"\nbudget = 1\n')
            efi = pathlib.Path(work) / "TinyPei.efi"
            efi.write_bytes(self.image)
            stderr = io.StringIO()
            sys.stderr, saved = stderr, sys.stderr
            try:
                status = fwimage.main(["module", "--modules", str(bad), "--name", "TinyPei",
                                       "--kind", "PEI", "--efi", str(efi)])
            finally:
                sys.stderr = saved
            self.assertEqual(status, 1)
            self.assertIn("not a GUID: 'not-a-guid'", stderr.getvalue())
            self.assertFalse((pathlib.Path(work) / "TinyPei.ffs").exists())


if __name__ == "__main__":
    unittest.main()
