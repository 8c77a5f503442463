"""The stub in the user's language. Wine takes the display language and the number format from the
locale (LANG, LC_ALL; the locales are made into the build tree with localedef): German and Japanese
runs show their own texts in the caption, the status line (read through the accessibility
interface, as a screen reader does) and a failure box, with the user's decimal separator; a
language without a table (Swahili) gets English. The texts expected are those of res/texts/.

A screenshot of the Japanese window shows glyphs, not the empty boxes of a face that has none: Wine
links its dialog font to faces that Debian lacks, and gives Debian's CJK font under those names
(winerun.use_cjk_font); without it the same check sees boxes."""
import os
import re
import subprocess
import unittest

import harness as h
from test_window import screenshot, window_geometry

TEXTS = os.path.join(h.ROOT, "res", "texts")
LOCALES = os.path.join(os.environ.get("VELKO_BUILD", ""), "locales")
WHITE = (255, 255, 255)

# The Unix locale, the table its user gets, the decimal separator of its number format, and whether
# X lacks the locale (winerun.locale_env).
LANGUAGES = [("de_DE.UTF-8", "de-DE", ",", False), ("ja_JP.UTF-8", "ja-JP", ".", False),
             ("sw_KE.UTF-8", "en-US", ".", True)]


def texts(table):
    """The texts of res/texts/<table>.txt by name."""
    found = {}
    with open(os.path.join(TEXTS, table + ".txt"), encoding="utf-8") as f:
        for line in f:
            name, sep, text = line.rstrip("\n").partition(" = ")
            if sep and not line.startswith("#"):
                found[name.strip()] = text.strip()
    return found


def fill(pattern, *args):
    return re.sub(r"%([1-9])", lambda m: args[int(m.group(1)) - 1], pattern)


def status_ink(px):
    """The status line of a window's screenshot (96 DPI) as its columns that hold ink, from the left,
    each a tuple of ink bits (dark pixels) from its top down."""
    top = next(y for y in range(10, len(px)) if all(p == WHITE for p in px[y][100:250]))
    left = next(x for x in range(len(px[top])) if all(p == WHITE for p in px[top][x:x + 20]))
    rows = range(top + 44, min(top + 66, len(px)))
    columns = [tuple(sum(px[y][x]) < 384 for y in rows) for x in range(left + 20, len(px[0]) - left - 2)]
    return [c for c in columns if any(c)]


class LanguageTest(h.DownloadTestCase):
    def setUp(self):
        super().setUp()
        # The package trickles in (3 MiB, "3.1" megabytes): the window can be looked at meanwhile.
        self.server.add_file("/velko.msi", h.package(3 << 20), behaviour="trickle:32768:0.05")
        h.use_cjk_font(True)
        self.addCleanup(h.use_cjk_font, True)

    def run_in(self, locale, on_window=None, x_ctype=False, **kwargs):
        """Runs self.exe in `locale`; on_window() once the package download is under way."""
        env = h.locale_env(locale, LOCALES, x_ctype)
        if on_window:
            return self.run_looking(on_window, env=env, **kwargs)
        return self.run_stub(env=env, **kwargs)

    def test_caption_status_line_and_box_in_the_users_language(self):
        for locale, table, separator, x_ctype in LANGUAGES:
            with self.subTest(locale=locale):
                t = texts(table)
                seen = {}
                # The probe runs in the same locale: Wine writes a starting program's locale into the
                # prefix's user settings (HKCU\Control Panel\International), which the stub reads, as
                # one user's settings on Windows.
                probe = subprocess.Popen([h.WINE, h.A11Y_PROBE, "60"], stdout=subprocess.PIPE, text=True,
                                         env=h.wine_env(**h.locale_env(locale, LOCALES, x_ctype)))
                try:
                    run = self.run_in(locale, lambda: seen.update(caption=window_geometry(re.escape(t["WindowCaption"]))),
                                      x_ctype)
                    out, _ = probe.communicate(timeout=90)
                finally:
                    if probe.poll() is None:
                        probe.kill()
                self.assertEqual(run.boxes, [])
                self.assertIsNotNone(seen.get("caption"), "no window captioned %r" % t["WindowCaption"])
                statuses = h.statuses_read_by(out)
                downloading = re.compile(re.escape(t["DownloadingStatus"]).replace("%1", r"\d+(?:%s\d)?" % re.escape(separator))
                                         .replace("%2", re.escape("3%s1" % separator)) + "$")
                self.assertTrue(any(downloading.match(s) for s in statuses), out)
                self.assertEqual(statuses[-1], t["InstallingStatus"], out)

                # A failure: the package server answers 404. The box says so in the same language.
                self.server.set_msiurl("http://%s/missing.msi" % h.PACKAGE_HOST)
                try:
                    failed = self.run_in(locale, x_ctype=x_ctype)
                finally:
                    self.server.set_msiurl(h.PACKAGE_URL)
                self.assertEqual(failed.boxes, [fill(t["DownloadFailed"], fill(t["HttpStatusReason"], "404"))])

    def test_the_japanese_window_shows_glyphs_not_empty_boxes(self):
        caption = texts("ja-JP")["WindowCaption"]
        ink = {}
        # The control first: without a face that has the glyphs, the same check sees boxes.
        for with_font in (False, True):
            h.use_cjk_font(with_font)

            def look():
                rect = window_geometry(re.escape(caption))
                if rect:
                    ink[with_font] = status_ink(screenshot(*rect))
            self.run_in("ja_JP.UTF-8", look)
        # The status line begins with eleven Japanese characters. Drawn as empty boxes, its first
        # forty columns of ink are the boxes' sides and their tops and bottoms: two or three kinds of
        # column. Drawn as glyphs, they vary (about twenty kinds seen here).
        self.assertIn(False, ink)
        self.assertIn(True, ink)
        self.assertLessEqual(len(set(ink[False][:40])), 3, "empty boxes expected without the font")
        self.assertGreaterEqual(len(ink[True]), 40)
        self.assertGreaterEqual(len(set(ink[True][:40])), 10, "glyphs expected with the font")


if __name__ == "__main__":
    unittest.main()
