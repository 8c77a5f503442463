"""The whole job end to end: download, the installer run, the identifier recorded in the registry
for every folder that received an executable, and the clean-up. These runs show the stages wired
together; the unit tests hold the tables of cases (the installer's command line and start-up, the
log scan's rows, the recorded bytes)."""
import os
import re
import shutil
import subprocess
import unittest

import harness as h

DEMO_MSI = os.path.join(os.environ.get("VELKO_BUILD", ""), "tests", "demo-package", "velko-demo.msi")
# Where Wine's msiexec puts the demo package, a 32-bit one, in this prefix.
DEMO_DIR = os.path.join(h.PREFIX, "drive_c", h.PROGRAM_FILES_32, "Brondelvik", "VelkoDemo")
# The folders named in the stand-in installer's log.
DEMO_FOLDERS = [r"C:\Program Files\Brondelvik\VelkoDemo" + "\\", r"C:\Program Files\Brondelvik\VelkoDemo\tools" + "\\"]


class InstallTest(h.StubTestCase):
    def setUp(self):
        super().setUp()
        h.reg_delete(r"Software\Brondelvik")
        self.addCleanup(h.reg_delete, r"Software\Brondelvik")
        self.server = self.serve([h.INFO_HOST, h.PACKAGE_HOST])
        self.server.set_msiurl(h.PACKAGE_URL)

    def serve_package(self, data=h.package(4096)):
        self.server.add_file("/velko.msi", data)

    def test_whole_job_with_stand_in_installer(self):
        h.use_fake_msiexec(self)
        self.serve_package()
        run = h.run_exe(self.tagged_stub())
        self.assertEqual((run.exit_code, run.boxes), (0, []))
        installer = h.fake_msiexec_run()
        # Both files in the run's own folder in the temp folder.
        folder = re.escape(h.WINDOWS_TEMP_DIR + "\\") + r"velko-[0-9a-f]{16}\\"
        self.assertRegex(installer["cmdline"], r"^msiexec /i (%s)velko-installer\.msi /norestart /Larv \1velko-installer\.log$"
                         % folder)
        self.assertEqual(installer["module"].lower(), r"c:\windows\system32\msiexec.exe")
        self.assertEqual(installer["package-exists"], "1")
        self.assertEqual(h.reg_export(h.IDS_KEY), {folder: h.SAMPLE_ID for folder in DEMO_FOLDERS})
        self.assertEqual(h.run_folders(), [])
        self.assertEqual(self.read_id_file(), h.SAMPLE_ID)

    def test_log_that_cannot_be_opened(self):
        h.use_fake_msiexec(self)
        self.serve_package()
        with open(h.fake_control_file("LockLogMsFile"), "w") as f:
            f.write("4000")
        run = h.run_exe(self.tagged_stub())
        self.assertEqual(run.boxes, [])
        self.assertEqual(h.reg_export(h.IDS_KEY), {})
        # Nothing recorded from a log held by another process; once it is let go, the run's folder
        # goes with it.
        self.assertEqual(h.run_folders(), [])

    @unittest.skipUnless(os.path.exists(DEMO_MSI), "demo package not built (wixl missing)")
    def test_real_package_with_wines_msiexec_and_a_planted_msiexec(self):
        with open(DEMO_MSI, "rb") as f:
            self.serve_package(f.read())
        exe = self.tagged_stub()
        # A msiexec.exe planted beside the stub (the user's downloads folder) must never run, even
        # with Wine told to prefer native programs of that name.
        h.forget_fake_msiexec_run()
        shutil.copy(h.FAKE_MSIEXEC, os.path.join(os.path.dirname(exe), "msiexec.exe"))
        self.addCleanup(lambda: subprocess.run([h.WINE, "msiexec", "/x", h.to_windows_path(DEMO_MSI), "/qn"],
                                               env=h.wine_env(), capture_output=True))
        run = h.run_exe(exe, env={"WINEDLLOVERRIDES": "msiexec.exe=n,b"}, timeout=300)
        self.assertEqual((run.exit_code, run.boxes), (0, []))
        self.assertIsNone(h.fake_msiexec_run(), "the planted msiexec.exe ran")
        self.assertTrue(os.path.exists(os.path.join(DEMO_DIR, "velko-demo.exe")))
        self.assertTrue(os.path.exists(os.path.join(DEMO_DIR, "readme.txt")))
        self.assertEqual(h.run_folders(), [])
        # Wine's msiexec writes an 8-bit log without file records: nothing to record.
        self.assertEqual(h.reg_export(h.IDS_KEY), {})


if __name__ == "__main__":
    unittest.main()
