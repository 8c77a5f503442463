"""The built stub's import table, flags and manifest: what a security review of the executable
looks at first (scripts/size prints the same)."""
import os
import re
import subprocess
import unittest

STUB_EXE = os.environ.get("VELKO_STUB_EXE", "")

# Windows' "known DLLs" (HKLM\System\CurrentControlSet\Control\Session Manager\KnownDLLs, Windows 7
# to 11): always loaded from the system directory, whatever lies beside the program.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "gdi32.dll", "gdiplus.dll",
    "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll",
    "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll",
    "shcore.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
}
DYNAMIC_BASE, NX_COMPAT, TERMINAL_SERVER_AWARE = 0x0040, 0x0100, 0x8000
SUPPORTED_OS = {
    "Windows 7": "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
    "Windows 8": "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
    "Windows 8.1": "1f676c76-80e1-4239-95bb-83d0f6d0da78",
    "Windows 10 and 11": "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a",
}


@unittest.skipUnless(STUB_EXE, "VELKO_STUB_EXE is not set (run through ctest)")
class StubBinaryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.headers = subprocess.run(["i686-w64-mingw32-objdump", "-p", "-h", STUB_EXE], check=True,
                                     capture_output=True, text=True).stdout
        with open(STUB_EXE, "rb") as f:
            cls.data = f.read()

    def test_imports_only_known_dlls(self):
        imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", self.headers)}
        self.assertIn("kernel32.dll", imports)  # the parse found the table
        self.assertEqual(imports - KNOWN_DLLS, set())

    def test_hardening_flags(self):
        flags = int(re.search(r"^DllCharacteristics\s+([0-9a-fA-F]+)", self.headers, re.M).group(1), 16)
        for name, bit in (("DYNAMIC_BASE", DYNAMIC_BASE), ("NX_COMPAT", NX_COMPAT),
                          ("TERMINAL_SERVER_AWARE", TERMINAL_SERVER_AWARE)):
            self.assertTrue(flags & bit, name)
        # ASLR needs the relocations to be kept.
        self.assertRegex(self.headers, r"\s\.reloc\s")

    def test_manifest_declares_supported_systems(self):
        manifest = re.search(rb"<assembly.*?</assembly>", self.data, re.S)
        self.assertIsNotNone(manifest)
        text = manifest.group(0).decode("utf-8")
        self.assertIn('level="asInvoker"', text)
        for system, guid in SUPPORTED_OS.items():
            self.assertIn('<supportedOS Id="{%s}"/>' % guid, text, system)


if __name__ == "__main__":
    unittest.main()
