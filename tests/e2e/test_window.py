"""The progress window as the user sees it, from screenshots of the real stub on a 1920x1080
screen at 96, 144 and 192 DPI (100%, 150%, 200%), while it downloads; and as a screen reader reads
it, through the accessibility interface.

Wine takes the display scale from LogPixels under HKCU\\Control Panel\\Desktop and tells every
program the real DPI (it stretches no window): these runs show the window's own scaling. That the
executable declares per-monitor awareness is checked in its manifest (tests/binary)."""
import os
import re
import subprocess
import unittest

import harness as h

WHITE = (255, 255, 255)
A11Y_PROBE = os.path.join(os.environ.get("VELKO_BUILD", ""), "tests", "a11y-probe.exe")


def screenshot(x, y, width, height):
    """Pixels of a screen rectangle as rows of (r, g, b)."""
    raw = subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (width, height, x, y),
                          "-depth", "8", "rgb:-"], capture_output=True, check=True, timeout=60).stdout
    return [[tuple(raw[(row * width + col) * 3:(row * width + col) * 3 + 3]) for col in range(width)]
            for row in range(height)]


def window_geometry(title):
    out = h.xdotool("search", "--name", "^%s$" % title, "getwindowgeometry").stdout
    pos = re.search(r"Position: (\d+),(\d+)", out)
    size = re.search(r"Geometry: (\d+)x(\d+)", out)
    if not pos or not size:
        return None
    return tuple(map(int, pos.groups())) + tuple(map(int, size.groups()))


class WindowTest(h.DownloadTestCase):
    def setUp(self):
        super().setUp()
        # The package trickles in: the window can be looked at in the middle of the download.
        self.server.add_file("/velko.msi", h.package(3 << 20), behaviour="trickle:32768:0.05")
        self.addCleanup(h.set_display_dpi, None)

    def test_window_at_each_scale(self):
        seen = {}
        for dpi, geometry in ((96, (790, 480, 340, 120)), (144, (705, 450, 510, 180)), (192, (620, 420, 680, 240))):
            with self.subTest(dpi=dpi):
                h.set_display_dpi(dpi)

                def look():
                    seen[dpi] = window_geometry("Installing")
                    if seen[dpi]:
                        x, y, w, hh = seen[dpi]
                        seen[dpi] += (screenshot(x, y, w, hh),)

                run = self.run_looking(look)
                self.assertEqual(run.boxes, [])
                self.assertEqual(seen.get(dpi, ())[:4], geometry)
                self.check_drawing(dpi, seen[dpi][4])

    def check_drawing(self, dpi, px):
        s = lambda size: (size * dpi + 48) // 96  # MulDiv(size, dpi, 96)
        # The client area starts below the caption, inside the frame: its top-left white pixel.
        top = next(y for y in range(10, len(px)) if all(p == WHITE for p in px[y][s(100):s(250)]))
        left = next(x for x in range(len(px[top])) if all(p == WHITE for p in px[top][x:x + 20]))
        self.assertLess(top, s(40))
        self.assertLess(left, 10)
        client = lambda cx, cy: px[top + cy][left + cx]
        width = len(px[0]) - 2 * left

        # White everywhere outside the bar and the text, up to the client's edges.
        for cx, cy in [(2, 2), (s(10), s(10)), (s(300), s(10)), (s(300), s(70)), (s(10), s(80)), (width - 5, 5)]:
            self.assertEqual(client(cx, cy), WHITE, (cx, cy, top, left))
        # The bar occupies (20, 20) to (280, 37) at 96 DPI, scaled: its frame is not white, the area
        # around it is.
        middle = s(28)
        self.assertNotEqual(client(s(20), middle), WHITE)
        self.assertNotEqual(client(s(280) - 1, middle), WHITE)
        self.assertEqual(client(s(20) - 2, middle), WHITE)
        self.assertEqual(client(s(280) + 1, middle), WHITE)
        self.assertEqual(client(s(150), s(20) - 2), WHITE)
        # Part of the way: the first part of the bar is filled, the rest is not.
        self.assertNotEqual(client(s(24), middle), client(s(275), middle))
        # The status line is drawn in black from (20, 44), scaled, with the font scaled: as tall as
        # the scale says and not cut at the bottom or the right. The system's message font may be
        # drawn smoothed (the user's setting): ink is anything darker than mid-grey.
        dark = [(cx, cy) for cy in range(s(44), s(44) + s(24)) for cx in range(s(20), width - 1)
                if sum(client(cx, cy)) < 384]
        self.assertGreater(len(dark), 50 * dpi * dpi // (96 * 96))
        self.assertGreaterEqual(min(cx for cx, _ in dark), s(20))
        self.assertGreaterEqual(min(cy for _, cy in dark), s(44))
        height = max(cy for _, cy in dark) - min(cy for _, cy in dark) + 1
        self.assertGreaterEqual(height, s(9))         # capitals and descenders of the message font
        self.assertLess(max(cy for _, cy in dark), s(44) + s(20))
        self.assertLess(max(cx for cx, _ in dark), width - s(10))

    @unittest.skipUnless(os.path.exists(A11Y_PROBE), "a11y-probe.exe not built")
    def test_a_screen_reader_reads_the_status_as_it_changes(self):
        probe = subprocess.Popen([h.WINE, A11Y_PROBE, "60"], stdout=subprocess.PIPE, text=True, env=h.wine_env())
        try:
            run = self.run_stub()
            out, _ = probe.communicate(timeout=90)
        finally:
            if probe.poll() is None:
                probe.kill()
        self.assertEqual(run.boxes, [])
        statuses = [line[len("status: "):] for line in out.splitlines() if line.startswith("status: ")]
        # The download's own texts, as they changed, and the install stage after them.
        downloading = [t for t in statuses if t.startswith("Downloading (")]
        self.assertGreaterEqual(len(downloading), 2, out)
        self.assertEqual(statuses[-1], "Installing...", out)
        # Wine's oleacc gives no value for a progress bar (Windows gives its percentage).
        self.assertTrue(any(line.startswith("bar: ") for line in out.splitlines()), out)


if __name__ == "__main__":
    unittest.main()
