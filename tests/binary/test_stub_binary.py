"""The built stubs' architecture, import table, flags and manifest: what a security review of the
executable looks at first (scripts/size prints the same). Each test runs on both stubs, the 32-bit
one shipped by default (VELKO_STUB_X86) and the 64-bit one (VELKO_STUB_X64); both are built
wherever the tests run, since reading them needs no Wine."""
import os
import re
import struct
import subprocess
import unittest

# The stubs by architecture: (PE machine field, optional header magic, the path from the environment).
ARCHS = {
    "x86": (0x014C, 0x010B, os.environ.get("VELKO_STUB_X86", "")),  # IMAGE_FILE_MACHINE_I386, PE32
    "x64": (0x8664, 0x020B, os.environ.get("VELKO_STUB_X64", "")),  # IMAGE_FILE_MACHINE_AMD64, PE32+
}
# objdump of the x86-64 toolchain reads PE32 and PE32+ alike.
OBJDUMP = "x86_64-w64-mingw32-objdump"

# Windows' "known DLLs" (HKLM\System\CurrentControlSet\Control\Session Manager\KnownDLLs, Windows 7
# to 11): always loaded from the system directory, whatever lies beside the program.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "gdi32.dll", "gdiplus.dll",
    "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll",
    "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll",
    "shcore.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
}
HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT, TERMINAL_SERVER_AWARE = 0x0020, 0x0040, 0x0100, 0x8000
SUPPORTED_OS = {
    "Windows 7": "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
    "Windows 8": "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
    "Windows 8.1": "1f676c76-80e1-4239-95bb-83d0f6d0da78",
    "Windows 10 and 11": "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a",
}


IMAGE_SCN_MEM_EXECUTE, IMAGE_SCN_MEM_WRITE = 0x20000000, 0x80000000
RT_ICON, RT_GROUP_ICON = 3, 14
# The icon's sizes in pixels: the window, the taskbar and Explorer ask for 16 to 64 px and more at
# display scales up to 200%; each size has an image of its own, drawn as it is, not scaled.
ICON_SIZES = {16, 32, 48, 64, 128}
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def sections(data):
    """The section table of a PE file: (name, virtual address, file offset, characteristics)."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional_size
    result = []
    for i in range(count):
        name, _, address, _, offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
        flags = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
        result.append((name.rstrip(b"\0").decode(), address, offset, flags))
    return result


def writable_and_executable(data):
    return [name for name, _, _, flags in sections(data)
            if flags & IMAGE_SCN_MEM_WRITE and flags & IMAGE_SCN_MEM_EXECUTE]


def resources(data, kind):
    """{id: bytes} of the resources of one type (ids of the first level below the type, first language)."""
    _, base, offset, _ = next(s for s in sections(data) if s[0] == ".rsrc")

    def entries(directory):
        named, ids = struct.unpack_from("<HH", data, offset + directory + 12)
        for i in range(named + ids):
            yield struct.unpack_from("<II", data, offset + directory + 16 + 8 * i)

    def leaf(target):
        while target & 0x80000000:
            target = next(entries(target & 0x7FFFFFFF))[1]
        rva, size = struct.unpack_from("<II", data, offset + target)
        return data[offset + rva - base:offset + rva - base + size]

    found = {}
    for type_id, target in entries(0):
        if type_id == kind:
            for resource_id, item in entries(target & 0x7FFFFFFF):
                found[resource_id] = leaf(item)
    return found


class StubBinaryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stubs = {}
        for arch, (_, _, path) in ARCHS.items():
            if not path:
                raise unittest.SkipTest("VELKO_STUB_X86 and VELKO_STUB_X64 are not both set (run through ctest)")
            headers = subprocess.run([OBJDUMP, "-p", "-h", path], check=True, capture_output=True, text=True).stdout
            with open(path, "rb") as f:
                cls.stubs[arch] = (headers, f.read())

    def each_stub(self):
        for arch, (headers, data) in self.stubs.items():
            with self.subTest(arch=arch):
                yield arch, headers, data

    @staticmethod
    def flags(headers):
        return int(re.search(r"^DllCharacteristics\s+([0-9a-fA-F]+)", headers, re.M).group(1), 16)

    def test_each_stub_is_the_architecture_it_claims(self):
        for arch, _, data in self.each_stub():
            machine, magic, _ = ARCHS[arch]
            pe = struct.unpack_from("<I", data, 0x3C)[0]
            self.assertEqual(data[pe:pe + 4], b"PE\0\0")
            self.assertEqual(struct.unpack_from("<H", data, pe + 4)[0], machine, "machine field")
            self.assertEqual(struct.unpack_from("<H", data, pe + 24)[0], magic, "optional header magic")

    def test_imports_only_known_dlls(self):
        for _, headers, _ in self.each_stub():
            imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
            self.assertIn("kernel32.dll", imports)  # the parse found the table
            self.assertEqual(imports - KNOWN_DLLS, set())

    def test_stack_canary_is_the_stubs_own(self):
        # The compiler's support library (libssp) fills the canary from CryptGenRandom before WinMain,
        # loading the cryptographic provider before the stub restricts where DLLs come from; the
        # stub's own canary needs no import. Link-time optimisation once dropped the stub's and
        # pulled libssp's in.
        for _, headers, _ in self.each_stub():
            self.assertRegex(headers, r"\bGetTickCount\b")  # the parse found the imported names
            crypt = re.findall(r"\bCrypt(?:AcquireContext|GenRandom)\w*", headers)
            self.assertEqual(crypt, [], "imported for libssp's canary")

    def test_hardening_flags(self):
        for _, headers, _ in self.each_stub():
            flags = self.flags(headers)
            for name, bit in (("DYNAMIC_BASE", DYNAMIC_BASE), ("NX_COMPAT", NX_COMPAT),
                              ("TERMINAL_SERVER_AWARE", TERMINAL_SERVER_AWARE)):
                self.assertTrue(flags & bit, name)
            # ASLR needs the relocations to be kept.
            self.assertRegex(headers, r"\s\.reloc\s")

    def test_no_section_is_writable_and_executable(self):
        for _, _, data in self.each_stub():
            names = [name for name, _, _, _ in sections(data)]
            self.assertIn(".text", names)  # the parse found the table
            self.assertEqual(writable_and_executable(data), [])
        # The check sees a section that is both: .text marked writable in a copy of the stub.
        data = bytearray(self.stubs["x86"][1])
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
        index = [name for name, _, _, _ in sections(data)].index(".text")
        flags = struct.unpack_from("<I", data, table + 40 * index + 36)[0]
        struct.pack_into("<I", data, table + 40 * index + 36, flags | IMAGE_SCN_MEM_WRITE)
        self.assertEqual(writable_and_executable(bytes(data)), [".text"])

    def test_icon_has_an_image_for_each_size(self):
        for _, _, data in self.each_stub():
            groups = resources(data, RT_GROUP_ICON)
            self.assertEqual(len(groups), 1)
            group = next(iter(groups.values()))
            images = resources(data, RT_ICON)
            sizes = set()
            for i in range(struct.unpack_from("<H", group, 4)[0]):
                width, height = group[6 + 14 * i], group[7 + 14 * i]
                image_id = struct.unpack_from("<H", group, 6 + 14 * i + 12)[0]
                image = images[image_id]
                # PNG images are read by Windows Vista and later, and are a fraction of a bitmap's size.
                self.assertEqual(image[:8], PNG_SIGNATURE, "icon image %d" % width)
                self.assertEqual(struct.unpack_from(">II", image, 16), (width or 256, height or 256))
                sizes.add(width or 256)
            self.assertEqual(sizes, ICON_SIZES)

    def test_both_stubs_carry_the_same_hardening(self):
        # HIGH_ENTROPY_VA (64-bit address space randomisation) means something only to a 64-bit
        # program: the 64-bit stub has it, and the flags are otherwise the same.
        x86, x64 = (self.flags(self.stubs[arch][0]) for arch in ("x86", "x64"))
        self.assertTrue(x64 & HIGH_ENTROPY_VA)
        self.assertEqual(x86, x64 & ~HIGH_ENTROPY_VA)

    def test_manifest_declares_supported_systems(self):
        for _, _, data in self.each_stub():
            manifest = re.search(rb"<assembly.*?</assembly>", data, re.S)
            self.assertIsNotNone(manifest)
            text = manifest.group(0).decode("utf-8")
            self.assertIn('level="asInvoker"', text)
            # Sharp at every scale: per-monitor v2, per monitor, and per monitor / system aware for
            # Windows 8.1 and older (Wine tells every program the real DPI, so only the file shows it).
            self.assertRegex(text, r'<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">'
                                   r'PerMonitorV2, PerMonitor</dpiAwareness>')
            self.assertRegex(text, r'<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">'
                                   r'true/pm</dpiAware>')
            for system, guid in SUPPORTED_OS.items():
                self.assertIn('<supportedOS Id="{%s}"/>' % guid, text, system)


if __name__ == "__main__":
    unittest.main()
