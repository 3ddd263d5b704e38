#!/usr/bin/env python3
"""The viewer's pages in a real headless Chromium, on the tree the real recorder wrote: the trip
list renders, a segment plays and its time advances without a media error, the subtitle shown is
the SRT's text, the route has one point per position with a fix and its marker follows the
player, and the next segment plays after the first.

Usage: browser_test.py --viewer TRIPVIEWER --tree VIDEOS_DIR [--chromium PATH --chromedriver PATH]
"""

import argparse
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from browser import Browser, Viewer, wait_for  # noqa: E402

ARGS = None


def srt_texts(path):
    """The text line of every entry of a subtitle file, in order."""
    with open(path, encoding="utf-8") as f:
        blocks = [b for b in f.read().split("\n\n") if b.strip()]
    return [b.split("\n")[2] for b in blocks]


class TripPages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.trips = sorted(os.listdir(ARGS.tree))
        cls.viewer = Viewer(ARGS.viewer, ARGS.tree)
        try:
            cls.browser = Browser(chromium=ARGS.chromium, chromedriver=ARGS.chromedriver)
        except BaseException:
            cls.viewer.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()
        status = cls.viewer.close()
        if status != 0:
            raise AssertionError(f"the viewer ended with {status}")

    def player_state(self):
        return self.browser.run(
            "const v = document.getElementById('player');"
            "return {t: v.currentTime, error: v.error && v.error.code, src: v.currentSrc, paused: v.paused,"
            " duration: v.duration, now: document.getElementById('now-playing').textContent,"
            " cue: document.getElementById('cue').textContent};")

    def test_trip_list_renders_newest_first(self):
        self.browser.open(self.viewer.url)
        rows = self.browser.run(
            "return [...document.querySelectorAll('#trips tbody tr')].map(r => [r.dataset.trip, r.innerText]);")
        self.assertEqual([r[0] for r in rows], self.trips[::-1])
        self.assertIn("no GPS", rows[0][1])  # the newer trip has none
        self.assertIn("MPH", rows[1][1])
        self.assertIn("Free space:", self.browser.run("return document.getElementById('disk').innerText;"))
        # Each row leads to its trip.
        self.browser.run("document.querySelector('#trips tbody tr:last-child a').click();")
        wait_for("trip page", lambda: self.browser.run("return document.body.dataset.trip;") == self.trips[0])

    def test_trip_plays_its_segments_with_subtitles_and_route(self):
        trip = self.trips[0]
        segments = sorted(f[:-4] for f in os.listdir(os.path.join(ARGS.tree, trip)) if f.endswith(".srt"))
        self.assertEqual(len(segments), 2)
        texts = [srt_texts(os.path.join(ARGS.tree, trip, s + ".srt")) for s in segments]
        self.browser.open(f"{self.viewer.url}trips/{trip}")
        wait_for("the player script", lambda: self.player_state()["now"].startswith("Segment 1 of 2"))

        # One route point per subtitle entry with a fix, over both segments.
        points = self.browser.run(
            "return [...document.querySelectorAll('#route polyline.stretch')]"
            ".flatMap(p => [...Array(p.points.numberOfItems).keys()]"
            ".map(i => [p.points.getItem(i).x, p.points.getItem(i).y]));")
        fix_entries = [(seg, i) for seg, t in enumerate(texts) for i, line in enumerate(t) if " MPH | " in line]
        self.assertEqual(len(points), len(fix_entries))

        # It plays: time advances, no media error.
        self.assertEqual(self.browser.run(
            "return document.getElementById('player').play().then(() => 'playing', e => String(e));"), "playing")
        state = wait_for("playback", lambda: (lambda s: s if s["t"] > 1.0 or s["error"] else None)(self.player_state()))
        self.assertIsNone(state["error"])
        self.assertTrue(state["src"].endswith(f"/trips/{trip}/{segments[0]}.mp4"), state["src"])

        # Paused inside an entry: its SRT text is the cue shown, and the marker sits on its point
        # (hidden where the entry has no fix).
        self.browser.run("document.getElementById('player').pause();")
        for entry in range(len(texts[0])):
            self.browser.run("document.getElementById('player').currentTime = arguments[0];", entry + 0.5)
            wait_for(f"cue of entry {entry + 1}", lambda: self.player_state()["cue"] == texts[0][entry])
            self.assertEqual(self.browser.run(
                "return document.getElementById('player').textTracks[0].activeCues[0].text;"), texts[0][entry])
            marker = self.browser.run(
                "const m = document.getElementById('marker');"
                "return [m.classList.contains('hidden'), +m.getAttribute('cx'), +m.getAttribute('cy')];")
            if (0, entry) in fix_entries:
                x, y = points[fix_entries.index((0, entry))]
                self.assertFalse(marker[0], f"entry {entry + 1}")
                self.assertAlmostEqual(marker[1], x, delta=0.1)
                self.assertAlmostEqual(marker[2], y, delta=0.1)
            else:
                self.assertTrue(marker[0], f"entry {entry + 1} has no fix")

        # At the end of the first segment the second one plays.
        self.browser.run("const v = document.getElementById('player'); v.currentTime = v.duration - 0.3; v.play();")
        state = wait_for("the second segment", lambda: (lambda s: s if s["src"].endswith(segments[1] + ".mp4")
                                                        and s["t"] > 0.5 else None)(self.player_state()))
        self.assertIsNone(state["error"])
        self.assertFalse(state["paused"])
        self.assertTrue(state["now"].startswith("Segment 2 of 2"), state["now"])
        wait_for("a cue of the second segment", lambda: self.player_state()["cue"] in texts[1])

    def test_trip_without_gps_and_missing_trip(self):
        self.browser.open(f"{self.viewer.url}trips/{self.trips[1]}")
        self.assertIn("no GPS positions", self.browser.run("return document.getElementById('no-gps').innerText;"))
        self.assertIsNone(self.browser.run("return document.getElementById('route');"))
        self.browser.open(f"{self.viewer.url}trips/20000101-000000")
        self.assertIn("There is no trip", self.browser.run("return document.getElementById('error').innerText;"))


def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--viewer", required=True)
    ap.add_argument("--tree", required=True)
    ap.add_argument("--chromium", default="/usr/bin/chromium")
    ap.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    ARGS, rest = ap.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
