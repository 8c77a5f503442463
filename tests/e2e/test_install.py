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
RECORDED = {folder: h.SAMPLE_ID for folder in DEMO_FOLDERS}

RESTART = "Restart your computer to finish the installation."
ANOTHER_INSTALLATION = "Another installation is in progress. Please try again later."
WAITING = "Waiting for another installation to finish..."
# The Windows Installer service holds it while an installation runs.
INSTALLER_MUTEX = r"Global\_MSIExecute"


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

    def test_installer_that_cannot_be_started(self):
        # A file in msiexec's place that is no program, as an application control policy or a
        # damaged system leaves it: the user hears why, in one box, and nothing is left behind.
        not_a_program = os.path.join(self.work, "msiexec.exe")
        with open(not_a_program, "wb") as f:
            f.write(b"not a program" * 100)
        subprocess.run([h.FAKE_PREFIX_TOOL, "install", not_a_program], check=True, env=h.wine_env())
        self.addCleanup(subprocess.run, [h.FAKE_PREFIX_TOOL, "remove"], env=h.wine_env())
        self.serve_package()
        run = h.run_exe(self.tagged_stub())
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(len(run.boxes), 1, run.boxes)
        self.assertTrue(run.boxes[0].strip(), "an empty box")
        self.assertFalse(run.boxes[0].startswith(h.FAILED_PREFIX), run.boxes)
        self.assertEqual(h.run_folders(), [])

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


def installer_runs():
    """How often the stand-in installer ran since its count was last removed."""
    path = h.fake_control_file("RunCountFile")
    if not os.path.exists(path):
        return 0
    with open(path) as f:
        return int(f.read())


class InstallerOutcomeTest(h.DownloadTestCase):
    """What follows each exit code of the installer: the registry record, the boxes, how often it is
    started; the stand-in's log always lists installed files."""

    def setUp(self):
        super().setUp()
        self.server.add_file("/velko.msi", h.package(4096))

    def test_each_exit_code(self):
        cases = [
            # name, the exit code of each start (the last one repeats), boxes, registry, starts
            ("installed", "0", [], RECORDED, 1),
            ("installed, restart needed", "3010", [RESTART], RECORDED, 1),
            ("installed, restart started", "1641", [RESTART], RECORDED, 1),
            ("cancelled by the user", "1602", [], {}, 1),
            ("failed and rolled back", "1603", [], {}, 1),
            ("another installation, then installed", "1618 0", [], RECORDED, 2),
            ("another installation both times", "1618", [ANOTHER_INSTALLATION], {}, 2),
        ]
        for name, codes, boxes, values, starts in cases:
            with self.subTest(name):
                h.reg_delete(r"Software\Brondelvik")
                for control in ("RunCountFile", "RunFile"):
                    if os.path.exists(h.fake_control_file(control)):
                        os.remove(h.fake_control_file(control))
                with open(h.fake_control_file("ExitCodeFile"), "w") as f:
                    f.write(codes)
                run = self.run_stub()  # exit code 0, no run folder left
                self.assertEqual(run.boxes, boxes)
                self.assertEqual(h.reg_export(h.IDS_KEY), values)
                self.assertEqual(installer_runs(), starts)
                self.assertEqual(h.fake_msiexec_run()["log-written"], "1")

    def test_waits_while_another_installation_runs(self):
        # Another installation holds the installer service's mutex for 15 s from before the run.
        holder = h.hold("mutex", INSTALLER_MUTEX, 15, self)
        probe = subprocess.Popen([h.WINE, h.A11Y_PROBE, "90"], stdout=subprocess.PIPE, text=True, env=h.wine_env())
        self.addCleanup(lambda: probe.poll() is None and (probe.kill(), probe.wait()))
        run = self.run_stub()
        out, _ = probe.communicate(timeout=100)
        self.assertEqual(holder.stdout.readline().strip(), "released")
        self.assertEqual(run.boxes, [])
        # The installer started once, after the mutex had gone; the status line said why it waited.
        self.assertEqual(installer_runs(), 1)
        self.assertEqual(h.fake_msiexec_run()["installer-mutex"], "0")
        statuses = h.statuses_read_by(out)
        self.assertIn(WAITING, statuses, out)
        self.assertEqual(statuses[-1], "Installing...", out)
        self.assertEqual(h.reg_export(h.IDS_KEY), RECORDED)


if __name__ == "__main__":
    unittest.main()
