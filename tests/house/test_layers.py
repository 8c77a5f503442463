"""The house rules of the source's layers: the download and install stages report through the
driver's interface (common/progress_report.h) and never include a header of the window (src/ui);
nothing below the driver includes the driver."""
import os
import re
import tempfile
import unittest

SRC = os.path.join(os.environ.get("VELKO_ROOT", os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))), "src")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def includes_under(folder, prefix):
    """(file, included header) for every #include "prefix..." in the C++ files below `folder`."""
    found = []
    for root, _, files in os.walk(folder):
        for name in sorted(files):
            if name.endswith((".cpp", ".h")):
                path = os.path.join(root, name)
                with open(path, encoding="utf-8") as f:
                    found += [(os.path.relpath(path, folder), h) for h in INCLUDE.findall(f.read())
                              if h.startswith(prefix)]
    return found


class LayersTest(unittest.TestCase):
    def test_stages_do_not_include_the_window(self):
        for stage in ("net", "install"):
            with self.subTest(stage):
                self.assertEqual(includes_under(os.path.join(SRC, stage), "ui/"), [])

    def test_nothing_below_the_driver_includes_it(self):
        for layer in ("common", "install", "net", "tag", "ui"):
            with self.subTest(layer):
                self.assertEqual(includes_under(os.path.join(SRC, layer), "driver/"), [])

    def test_control_a_stage_that_includes_the_window_is_found(self):
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "stage.cpp"), "w") as f:
                f.write('#include "net/http_request.h"\n  #  include "ui/progress_window.h"\n')
            self.assertEqual(includes_under(folder, "ui/"), [("stage.cpp", "ui/progress_window.h")])


if __name__ == "__main__":
    unittest.main()
