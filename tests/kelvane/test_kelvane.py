"""kelvane as a program: its files, exit codes and output, checked with tools
nobody here wrote (ipmi-fru, gzip, xmllint)."""
import gzip
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

KELVANE = os.environ.get("KELVANE_BIN", "kelvane")
SOURCE = os.environ.get("TW_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLE = os.path.join(SOURCE, "examples", "sku", "SKU.xml")

DONE_ARGS = ["CSN=C1234", "BSN=B5678", "PSN=P9012", "ASSET=A1", "PN=Widget",
             "MainMAC=001122334455"]


def u24(b, at):
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16


def entry(image, index):
    """(name, offset, size, checksum) of entry 0..2."""
    e = image[160 + 32 * index:192 + 32 * index]
    return e[:24].rstrip(b"\0").decode(), u24(e, 24), u24(e, 27), struct.unpack("<H", e[30:32])[0]


class KelvaneProgram(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kelvane-py-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def sku(self, text=None):
        if text is None:
            shutil.copy(EXAMPLE, os.path.join(self.dir, "SKU.xml"))
        else:
            with open(os.path.join(self.dir, "SKU.xml"), "w", encoding="utf-8") as f:
                f.write(text)

    def example_text(self):
        with open(EXAMPLE, encoding="utf-8") as f:
            return f.read()

    def run_kelvane(self, *args):
        p = subprocess.run([KELVANE, *args], cwd=self.dir, capture_output=True, text=True,
                           timeout=60)
        self.assertEqual(p.stderr.strip(), "", p.stderr)
        return p.returncode, p.stdout

    def files(self):
        return sorted(os.listdir(self.dir))

    def image(self):
        with open(os.path.join(self.dir, "SKU.BIN"), "rb") as f:
            return f.read()

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def ipmi_fru(self, fru):
        path = self.write("fru.bin", fru)
        p = subprocess.run(["ipmi-fru", "--fru-file=" + path], capture_output=True, text=True,
                           timeout=60)
        os.remove(path)
        out = p.stdout + p.stderr
        # ipmi-fru exits 0 even on checksum errors: its text is what counts.
        self.assertNotIn("Error", out, out)
        return out

    def test_done_when_run(self):
        self.sku()
        rc, out = self.run_kelvane(*DONE_ARGS)
        self.assertEqual(rc, 0, out)
        self.assertEqual(self.files(), ["SKU.BIN", "SKU.xml"])
        img = self.image()

        self.assertEqual(img[:8], b"TRESKOVA")
        self.assertEqual(img[8], 3)
        self.assertEqual(u24(img, 9), len(img))
        self.assertEqual(len(img) % 64, 0)
        self.assertLessEqual(len(img), 32768)
        self.assertEqual(struct.unpack("<H", img[14:16])[0], sum(img[:14]) & 0xFFFF)
        self.assertEqual(img[16:160], bytes(144))
        self.assertEqual(entry(img, 0), ("NVRAM_MAC00.dat", 0, 0, 0))
        name, fru_off, fru_len, fru_sum = entry(img, 1)
        self.assertEqual((name, fru_off), ("NVRAM_FRU00.dat", 256))
        self.assertEqual(fru_len % 8, 0)
        fru = img[fru_off:fru_off + fru_len]
        self.assertEqual(fru_sum, sum(fru) & 0xFFFF)
        name, gz_off, gz_len, gz_sum = entry(img, 2)
        self.assertEqual(name, "sku.xml.gz")
        self.assertEqual(gz_off, (256 + fru_len + 63) & ~63)
        self.assertEqual(len(img), (gz_off + gz_len + 63) & ~63)
        gz = img[gz_off:gz_off + gz_len]
        self.assertEqual(gz_sum, sum(gz) & 0xFFFF)
        self.assertEqual(img[256 + fru_len:gz_off], bytes(gz_off - 256 - fru_len))
        self.assertEqual(img[gz_off + gz_len:], bytes(len(img) - gz_off - gz_len))

        text = self.ipmi_fru(fru)
        for line in ("FRU Chassis Serial Number: C1234", "FRU Board Serial Number: B5678",
                     "FRU Product Serial Number: P9012", "FRU Product Asset Tag: A1",
                     "FRU Product Name: Widget", "FRU Chassis Part Number: HG-CH-1U-04",
                     "FRU Board Custom Info: Rev B", "FRU Product Version: A1"):
            self.assertIn(line, text)

        gz_path = self.write("doc.gz", gz)
        subprocess.run(["gzip", "-t", gz_path], check=True, timeout=60)
        self.assertEqual(gz[3] & 0x08, 0x08)  # the stored name
        self.assertTrue(gz[10:].startswith(b"mysku.xml\0"))
        doc = subprocess.run(["gzip", "-dc", gz_path], check=True, capture_output=True,
                             timeout=60).stdout.decode()
        xml_path = self.write("doc.xml", doc.encode())
        subprocess.run(["xmllint", "--noout", xml_path], check=True, timeout=60)
        for element in ("<ChassisSerialNumber>C1234</ChassisSerialNumber>",
                        "<BoardSerialNumber>B5678</BoardSerialNumber>",
                        "<ProductSerialNumber>P9012</ProductSerialNumber>",
                        "<AssetTag>A1</AssetTag>", "<ProductName>Widget</ProductName>",
                        "<MacAddr0>00:11:22:33:44:55</MacAddr0>"):
            self.assertIn(element, doc)
        self.assertTrue(doc.startswith('<?xml version="1.0" encoding="UTF-8"?>\n\n'))

        self.assertIn("              Board ID     : HG-2S1U\n"
                      "             Rand Code     : R7Q2X9\n"
                      "      Main MAC Address     : 00:11:22:33:44:55\n"
                      "\n"
                      " Chassis Serial Number *   : C1234\n"
                      " Board Serial Number *     : B5678\n"
                      " Product Serial Number *   : P9012\n"
                      " ASSET TAG *   : A1\n"
                      " Product Name *   : Widget\n", out)
        self.assertTrue(out.endswith(" Product Name *   : Widget\n"), out)

    def test_one_character_values_keep_every_later_field(self):
        self.sku()
        rc, out = self.run_kelvane("CSN=7", "PN=W", "PSN=P", "ASSET=Z")
        self.assertEqual(rc, 0, out)
        img = self.image()
        _, off, size, _ = entry(img, 1)
        text = self.ipmi_fru(img[off:off + size])
        for line in ("FRU Chassis Serial Number: 7\n", "FRU Product Name: W\n",
                     "FRU Product Part/Model Number: HG-R120-A", "FRU Product Version: A1",
                     "FRU Product Serial Number: P\n", "FRU Product Asset Tag: Z\n"):
            self.assertIn(line, text)

    def test_usage_without_work(self):
        for args in ([], ["unknown=1", "csn=lowercase"]):
            rc, out = self.run_kelvane(*args)
            self.assertEqual(rc, 6, args)
            self.assertTrue(out.startswith(
                "\nkelvane.exe Version 0.16\n\nkelvane.exe is used for TRESKOVA BMC firmware \n"
                "configuration under DOS/Linux. It helps production line \n"
                "to program FRU, MAC Address and Fan Policy into BMC.\n\n"
                "\nUsage: kelvane [OPTION]\nexample:\n"), out)
            self.assertTrue(out.endswith("                    LOGO_AREA\n"
                                         "                    UPDATE\n"), out)
            self.assertEqual(self.files(), [])

    def test_version_gate(self):
        self.sku(self.example_text().replace("<Kelvane>0.16<", "<Kelvane>0.17<"))
        rc, out = self.run_kelvane(*DONE_ARGS)
        self.assertEqual(rc, 5)
        self.assertTrue(out.endswith("Error! kelvane.exe Version 0.16 is old\n"
                                     "Error! The SKU.xml requires kelvane.exe Version 0.17\n"),
                        out)
        self.assertEqual(self.files(), ["SKU.xml"])

    def test_failures_show_as_exit_status(self):
        rc, out = self.run_kelvane("RU=1")
        self.assertEqual(rc, 254)  # -2
        self.assertTrue(out.endswith("SKU.xml: No Such File or Directory!\n"), out)

        self.sku(self.example_text().replace("<ChassisSerialNumber>CSN-UNSET</ChassisSerialNumber>",
                                             ""))
        rc, out = self.run_kelvane("CSN=C1")
        self.assertEqual(rc, 2)
        self.assertTrue(out.endswith("Error! Not found Chassis Serial Number in SKU.xml\n"), out)
        self.assertEqual(self.files(), ["SKU.xml"])

        self.sku()
        rc, out = self.run_kelvane("PSN=" + "9" * 64)
        self.assertEqual(rc, 2)
        self.assertIn("Error! ProductSerialNumber", out)
        self.assertEqual(self.files(), ["SKU.xml"])

    def test_stale_outputs_never_reach_the_image(self):
        self.sku()
        self.write("SKU.BIN", b"old image" * 1000)
        self.write("mysku.xml.gz", gzip.compress(b"<Old/>"))
        self.write("mysku.xml", b"<Old/>")
        rc, out = self.run_kelvane("RU=3")
        self.assertEqual(rc, 0, out)
        self.assertEqual(self.files(), ["SKU.BIN", "SKU.xml"])
        img = self.image()
        _, off, size, _ = entry(img, 2)
        doc = gzip.decompress(img[off:off + size]).decode()
        self.assertIn("<RMCUnit>3</RMCUnit>", doc)
        self.assertNotIn("<Old/>", doc)
        self.assertEqual(u24(img, 9), len(img))


class KelvaneDemo(unittest.TestCase):
    def test_demo_script_shows_the_packed_result(self):
        env = dict(os.environ, KELVANE_BIN=os.path.abspath(KELVANE) if os.sep in KELVANE
                   else shutil.which(KELVANE) or KELVANE)
        p = subprocess.run([os.path.join(SOURCE, "scripts", "kelvane-demo")], env=env,
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertIn("kelvane exit status: 0", p.stdout)
        self.assertIn("FRU Chassis Serial Number: HGC-0001", p.stdout)
        self.assertIn("<ChassisSerialNumber>HGC-0001</ChassisSerialNumber>", p.stdout)
        self.assertNotIn("Error", p.stdout)


if __name__ == "__main__":
    unittest.main()
