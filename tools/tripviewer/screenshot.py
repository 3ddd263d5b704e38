#!/usr/bin/env python3
"""Takes the picture of the trip page shown in the README: the trip with the most positions,
paused in the middle of its route with the subtitle and the marker showing.

Usage: screenshot.py --viewer TRIPVIEWER --videos VIDEOS_DIR --out PNG
"""

import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser import Browser, Viewer, wait_for, _local  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--viewer", required=True)
    ap.add_argument("--videos", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()

    with Viewer(args.viewer, args.videos) as viewer, Browser(width=1280, height=1000) as browser:
        with _local.open(viewer.url + "api/trips", timeout=30) as r:
            trips = json.load(r)["trips"]
        if not trips:
            sys.exit(f"screenshot: no trips in {args.videos}")
        trip = max(trips, key=lambda t: (t["fixes"], t["name"]))["name"]
        with _local.open(viewer.url + "api/trips/" + trip, timeout=30) as r:
            points = [p for p in json.load(r)["points"] if p["segment"] == 0]

        browser.open(viewer.url + "trips/" + trip)
        wait_for("the player", lambda: browser.run("return document.getElementById('now-playing').textContent;"))
        t = points[len(points) * 2 // 3]["t"] + 0.5 if points else 1.5
        browser.run("const v = document.getElementById('player'); v.pause(); v.currentTime = arguments[0];", t)
        wait_for("the frame and its subtitle", lambda: browser.run(
            "const v = document.getElementById('player');"
            "return !v.seeking && v.readyState >= 2 && document.getElementById('cue').textContent !== '';"))
        browser.screenshot(args.out)
    print("screenshot: wrote", args.out)


if __name__ == "__main__":
    main()
