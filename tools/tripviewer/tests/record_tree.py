#!/usr/bin/env python3
"""Records a small real trip tree with the simulator and the recorder, for the viewer's tests.

Trip 1 drives a short route with a stretch without GPS and holds two segments (the simulator
feeds frames fast, so the first segment fills in seconds); trip 2 has no GPS at all. Both are
closed by stopping the recorder, so every segment is finished. The tree is written under a
temporary name and moved to OUT whole.

Usage: record_tree.py --recorder ROADRECD --simulator SIMULATOR --out DIR
The recorder records into "videos" under its working directory (ROADRECD_VIDEOS_DIR), with
loop recording off.
"""

import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import time

TRIP_WITH_ROUTE = """\
0 ignition off
0 gear drive
0 gps none
1 gps 37.7749 -122.4194 8.5
4 gps 37.7765 -122.4172 12.0
7 gps none
10 gps 37.7790 -122.4140 15.6
14 gps 37.7822 -122.4101 13.4
18 gps 37.7841 -122.4077 9.0
"""
TRIP_WITHOUT_GPS = "0 ignition off\n0 gps none\n"
WAIT_S = 150


def entries(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().count(" --> ")
    except OSError:
        return 0


def trip_dirs(videos):
    return sorted(os.listdir(videos)) if os.path.isdir(videos) else []


def wait_for(what, cond, procs):
    deadline = time.monotonic() + WAIT_S
    while not cond():
        for p in procs:
            if p.poll() is not None:
                sys.exit(f"record_tree: {p.args[0]} ended with {p.returncode} while waiting for {what}")
        if time.monotonic() > deadline:
            sys.exit(f"record_tree: no {what} within {WAIT_S} s")
        time.sleep(0.05)


def record_trip(args, run, env, name, scenario, fps, done):
    """Runs the simulator and the recorder until done(videos) holds, then stops both."""
    scn = os.path.join(run, name + ".scn")
    with open(scn, "w") as f:
        f.write(scenario)
    log = open(os.path.join(run, name + ".log"), "w")
    procs = []
    try:
        procs.append(subprocess.Popen([args.recorder], cwd=run, env=env, stdout=log, stderr=log))
        procs.append(subprocess.Popen([args.simulator, "--scenario", scn, "--width", "320", "--height", "240",
                                       "--fps", str(fps)], cwd=run, env=env, stdout=log, stderr=log))
        videos = os.path.join(run, "videos")
        wait_for(name, lambda: done(videos), procs)
    finally:
        # The recorder first: SIGTERM closes its segment for good.
        for p in procs:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        log.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--recorder", required=True)
    ap.add_argument("--simulator", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    args.recorder = os.path.abspath(args.recorder)
    args.simulator = os.path.abspath(args.simulator)

    out = os.path.abspath(args.out)
    run = out + ".recording"
    shutil.rmtree(run, ignore_errors=True)
    os.makedirs(os.path.join(run, "params"))
    prefix = "_tvtree_%d_%06d" % (os.getpid(), random.randrange(10**6))
    shm = os.path.join("/dev/shm", prefix)
    os.makedirs(shm)
    env = dict(os.environ, TAVRIN_PREFIX=prefix, PARAMS_ROOT=os.path.join(run, "params"),
               ROADRECD_VIDEOS_DIR=os.path.join(run, "videos"), ROADRECD_MIN_FREE_PERCENT="0")
    try:
        def two_segments(videos):
            trips = trip_dirs(videos)
            if not trips:
                return False
            srts = sorted(f for f in os.listdir(os.path.join(videos, trips[0])) if f.endswith(".srt"))
            return len(srts) >= 2 and entries(os.path.join(videos, trips[0], srts[1])) >= 4

        def second_trip(videos):
            trips = trip_dirs(videos)
            if len(trips) < 2:
                return False
            srts = [f for f in os.listdir(os.path.join(videos, trips[1])) if f.endswith(".srt")]
            return len(srts) == 1 and entries(os.path.join(videos, trips[1], srts[0])) >= 3

        record_trip(args, run, env, "trip1", TRIP_WITH_ROUTE, 400, two_segments)
        # Trip names have a resolution of one second: the next trip needs a second of its own.
        time.sleep(1.1)
        record_trip(args, run, env, "trip2", TRIP_WITHOUT_GPS, 20, second_trip)

        shutil.rmtree(out, ignore_errors=True)
        os.rename(os.path.join(run, "videos"), out)
        shutil.rmtree(run, ignore_errors=True)
        print("record_tree: recorded", ", ".join(trip_dirs(out)), "in", out)
    finally:
        shutil.rmtree(shm, ignore_errors=True)


if __name__ == "__main__":
    main()
