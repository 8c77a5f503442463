"""The progress window as the user sees it, from a screenshot of the real stub on a 1920x1080
screen while the information request is under way."""
import re
import subprocess
import time
import unittest

import harness as h

WHITE = (255, 255, 255)


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


class WindowTest(h.StubTestCase):
    def test_window_while_requesting(self):
        server = self.serve()
        # The reply is held back so the window can be looked at while the request is under way.
        server.set_info_reply(b"<DSData/>", behaviour="hang:6")
        seen = {}

        def look(proc):
            deadline = time.time() + 20
            while time.time() < deadline and not server.requests:
                time.sleep(0.1)
            time.sleep(1.0)
            seen["geometry"] = window_geometry("Installing")
            if seen["geometry"]:
                x, y, w, hh = seen["geometry"]
                seen["pixels"] = screenshot(x, y, w, hh)

        run = h.run_exe(self.tagged_stub(), on_start=look)
        self.assertEqual(run.exit_code, 0)

        self.assertEqual(seen.get("geometry"), (790, 480, 340, 120))
        px = seen["pixels"]
        # The client area starts below the caption (at least 10 pixels high), inside the frame: find
        # its top-left white pixel.
        top = next(y for y in range(10, len(px)) if all(p == WHITE for p in px[y][100:250]))
        left = next(x for x in range(len(px[top])) if all(p == WHITE for p in px[top][x:x + 20]))
        self.assertLess(top, 40)
        self.assertLess(left, 10)
        client = lambda cx, cy: px[top + cy][left + cx]

        # White everywhere outside the bar and the text, up to the client's edges.
        for cx, cy in [(2, 2), (10, 10), (300, 10), (300, 50), (10, 80), (330 - left * 2, 5)]:
            self.assertEqual(client(cx, cy), WHITE, (cx, cy, top, left))
        # The bar occupies (20, 20) to (280, 37): its frame is not white, the area around it is.
        self.assertNotEqual(client(20, 28), WHITE)
        self.assertNotEqual(client(279, 28), WHITE)
        self.assertEqual(client(19, 28), WHITE)
        self.assertEqual(client(281, 28), WHITE)
        self.assertEqual(client(150, 18), WHITE)
        # Position 10 of 130: the first part of the bar is filled, the rest is not.
        filled = client(24, 28)
        empty = client(250, 28)
        self.assertNotEqual(filled, empty)
        # The status line is drawn in black at (20, 44), within the window.
        dark = [(cx, cy) for cy in range(44, 62) for cx in range(20, 200) if sum(client(cx, cy)) < 200]
        self.assertGreater(len(dark), 50)
        self.assertGreaterEqual(min(cx for cx, _ in dark), 20)
        self.assertGreaterEqual(min(cy for _, cy in dark), 44)


if __name__ == "__main__":
    unittest.main()
