"""DLLs planted beside the stub, as a web page can drop them into a downloads folder, are never
loaded: the whole job runs with marker DLLs named like the system DLLs a run loads, and none of
them records a load. The control shows that the same planted folder does take over an unprotected
program, so the test can fail.

Wine normally prefers its built-in DLLs; WINEDLLOVERRIDES "<name>=n,b" makes it search for
<name>.dll the way Windows searches for a DLL that is not a "known DLL": the program's folder first.

Not planted: version.dll and imm32.dll, which Wine's own gdi32 and user32 load from the program's
folder before the program's first instruction (on Windows imm32 is a known DLL and version.dll is not
loaded at that point), so no program can keep them out under Wine; shcore, which Wine's shell32 and
shlwapi import, and so load from there before that instruction too (the stub's own load of shcore,
for the monitor's DPI, goes to the system directory: WindowDpiTest checks the module it gets);
win32u, ucrtbase and zlib1, which Wine's built-in DLLs load for themselves before that instruction as
well; and kernelbase, without which Wine starts no program at all.
"""
import glob
import os
import shutil
import unittest

import harness as h

PLANTING_DIR = os.path.join(os.environ.get("VELKO_BUILD", ""), "tests", "planting")
MARKER_DLL = os.path.join(PLANTING_DIR, "marker.dll")
CONTROL_EXE = os.path.join(PLANTING_DIR, "planting-control.exe")

# The DLLs outside the known set that whole runs load (Wine's +pid,+loaddll trace of a plain HTTP
# and of an https run), plus dwmapi (which Windows' window code loads) and comctl32 (bound through
# the manifest). test_tls.py plants the same set for an https run.
PLANTED = ["winhttp", "uxtheme", "dwmapi", "crypt32", "bcrypt", "jsproxy", "comctl32", "rsaenh", "secur32",
           "schannel", "kerberos", "msv1_0", "dnsapi", "iphlpapi", "netapi32"]


def plant(folder):
    """Puts a marker DLL under each planted name into `folder`; returns the environment that makes
    Wine look for those names in the program's folder first."""
    for name in PLANTED:
        shutil.copy(MARKER_DLL, os.path.join(folder, name + ".dll"))
    return {"WINEDLLOVERRIDES": ";".join("%s=n,b" % name for name in PLANTED)}


def markers(folder):
    """The planted names whose DLL was loaded."""
    return sorted(os.path.basename(p)[:-len(".dll.loaded")].lower()
                  for p in glob.glob(os.path.join(folder, "*.loaded")))


class DllPlantingTest(h.StubTestCase):
    def setUp(self):
        super().setUp()
        self.env = plant(self.work)

    def test_whole_job_loads_no_planted_dll(self):
        h.use_fake_msiexec(self)
        self.addCleanup(h.reg_delete, r"Software\Brondelvik")
        server = self.serve([h.INFO_HOST, h.PACKAGE_HOST])
        server.set_msiurl(h.PACKAGE_URL)
        server.add_file("/velko.msi", h.package(4096))
        run = h.run_exe(self.tagged_stub(), env=self.env)
        self.assertEqual((run.exit_code, run.boxes), (0, []))
        self.assertIsNotNone(h.fake_msiexec_run(), "the installer was not started")
        self.assertEqual(set(h.reg_export(h.IDS_KEY).values()), {h.SAMPLE_ID})
        self.assertEqual(markers(self.work), [])

    def test_control_unprotected_program_loads_every_planted_dll(self):
        # Imports winhttp statically and loads the others by bare name, as a program does that
        # leaves the search order alone.
        shutil.copy(CONTROL_EXE, self.work)
        run = h.run_exe(os.path.join(self.work, os.path.basename(CONTROL_EXE)), env=self.env,
                        args=[name + ".dll" for name in PLANTED])
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(markers(self.work), sorted(PLANTED))


if __name__ == "__main__":
    unittest.main()
