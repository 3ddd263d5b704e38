"""The recorder's benchmark: today's recorder (built from the commit before the change, in a
temporary git worktree) against this one, in the same run, on the simulator's camera.

Measured from outside the recorder, so that both are measured alike:
  - CPU seconds (the kernel's accounting of the process) and bytes written to storage
    (/proc/<pid>/io write_bytes less cancelled_write_bytes, read once the process has ended)
    per second of video on disk;
  - the main loop's gaps: every frame packet the recorder takes moves its read position in the
    frame topic's queue header, sampled every millisecond; the longest gap ending around a
    segment rotation (a new lock file) is the rotation's stall;
  - the loss window: seconds of video a SIGKILL at a random moment costs, once the next start
    has recovered the segment (this recorder), or as ffprobe reads it (today's).
"""
import argparse
import mmap
import os
import random
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WIDTH, HEIGHT, FPS = 1928, 1208, 20
FRAME_TOPIC = "visionipc_imagerd_0"  # the road stream's packets
READ_POINTERS = struct.Struct("<12Q")  # queue header: 12 reader positions at byte 24
READ_POINTERS_OFFSET = 24
# Files the change added, on the encoder's side and the recorder's: the commit before the older
# of the commits that added them is today's recorder.
CHANGE_MARKERS = ["selfdrive/pendrel/screenrecorder/segment_recovery.h", "selfdrive/orsolo/camera_link.cc"]


def git(*args, **kw):
    return subprocess.run(["git", "-C", REPO] + list(args), check=True, capture_output=True, text=True, **kw).stdout.strip()


def baseline_ref():
    added = git("log", "--diff-filter=A", "--format=%H", "--", *CHANGE_MARKERS).splitlines()
    if not added:
        sys.exit("recorder bench: cannot find the change (%s) in the history; give --baseline REF" %
                 ", ".join(CHANGE_MARKERS))
    return added[-1] + "^"  # the log lists the newest first


def build_baseline(ref, workdir):
    """Builds today's roadrecd from `ref` in a worktree under `workdir`; returns the executable."""
    src = os.path.join(workdir, "src")
    build = os.path.join(workdir, "build")
    git("worktree", "add", "--detach", "--force", src, ref)
    args = ["cmake", "-S", src, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DROADREC_BUILD_TESTS=OFF",
            "-DROADREC_BUILD_BENCH=OFF", "-DROADRECD_VIDEOS_BASE=videos"]
    if shutil.which("ccache"):
        args += ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "roadrecd"], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(build, "selfdrive", "orsolo", "roadrecd")


def remove_baseline(workdir):
    src = os.path.join(workdir, "src")
    if os.path.exists(src):
        subprocess.run(["git", "-C", REPO, "worktree", "remove", "--force", src], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    shutil.rmtree(workdir, ignore_errors=True)


def ffprobe_packets(path):
    """pts of every video packet, in seconds; empty when ffprobe cannot read the file."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time",
                          "-of", "csv=p=0", path], capture_output=True, text=True).stdout
    return sorted(float(x) for x in out.split() if x.strip() not in ("", "N/A"))


def segments(videos):
    return [os.path.join(dp, f) for dp, _, fs in os.walk(videos) for f in fs if f.endswith(".mp4")]


def locks(videos):
    return {os.path.join(dp, f) for dp, _, fs in os.walk(videos) for f in fs if f.endswith(".mp4.lock")}


class System:
    """A run directory with its own queues and parameters, a log collector and a simulator."""

    def __init__(self, build, run, name):
        self.build, self.run = build, run
        shutil.rmtree(run, ignore_errors=True)
        os.makedirs(os.path.join(run, "params"))
        self.prefix = "bench_recorder_%s_%d" % (name, os.getpid())
        self.shm = "/dev/shm/" + self.prefix
        os.makedirs(self.shm, exist_ok=True)
        self.videos = os.path.join(run, "videos")
        # Loop recording off: the build tree's file system may be short of free space.
        self.env = dict(os.environ, TAVRIN_PREFIX=self.prefix, PARAMS_ROOT=os.path.join(run, "params"),
                        ROADRECD_VIDEOS_DIR=self.videos, ROADRECD_MIN_FREE_PERCENT="0")
        self.children = []
        self.collector = self.spawn([self.exe("tools/logcollector/logcollector")], "collector.log")
        time.sleep(0.2)

    def exe(self, rel):
        return os.path.join(self.build, rel)

    def spawn(self, argv, out):
        p = subprocess.Popen(argv, env=self.env, cwd=self.run, stdout=open(os.path.join(self.run, out), "a"),
                             stderr=subprocess.STDOUT)
        self.children.append(p)
        return p

    def simulator(self, *args):
        scn = os.path.join(self.run, "idle.scn")
        with open(scn, "w") as f:
            f.write("0 ignition off\n0 gear park\n")
        return self.spawn([self.exe("tools/simulator/simulator"), "--scenario", scn, "--width", str(WIDTH), "--height",
                           str(HEIGHT), "--fps", str(FPS)] + list(args), "simulator.out")

    def close(self):
        for c in self.children:
            if c.returncode is None and c.poll() is None:
                c.kill()
                c.wait()
        shutil.rmtree(self.shm, ignore_errors=True)


def wait_for(cond, timeout, poll=0.005):
    deadline = time.monotonic() + timeout
    while not cond():
        if time.monotonic() > deadline:
            raise RuntimeError("recorder bench: waited %.0f s in vain" % timeout)
        time.sleep(poll)


def end_and_account(proc, sig):
    """Ends `proc` with `sig`; returns (CPU seconds, bytes written to storage, bytes passed to write calls)."""
    proc.send_signal(sig)
    os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)  # ended, not yet reaped: /proc still has it
    io = {}
    with open("/proc/%d/io" % proc.pid) as f:
        for line in f:
            k, v = line.split(":")
            io[k] = int(v)
    _, _, ru = os.wait4(proc.pid, 0)
    proc.returncode = 0
    return ru.ru_utime + ru.ru_stime, io["write_bytes"] - io["cancelled_write_bytes"], io["wchar"]


class LoopSampler(threading.Thread):
    """Times every move of the frame topic's read positions, and every new lock file."""

    def __init__(self, system):
        super().__init__(daemon=True)
        self.system = system
        self.receives, self.new_locks = [], []
        self.stop = False

    def run(self):
        path = os.path.join(self.system.shm, FRAME_TOPIC)
        wait_for(lambda: os.path.exists(path) and os.path.getsize(path) >= 312, 60)
        with open(path, "rb") as f:
            header = mmap.mmap(f.fileno(), 312, prot=mmap.PROT_READ)
        last, seen, next_lock_scan = None, set(), 0.0
        while not self.stop:
            now = time.monotonic()
            positions = READ_POINTERS.unpack_from(header, READ_POINTERS_OFFSET)
            if positions != last:
                if last is not None:
                    self.receives.append(now)
                last = positions
            if now >= next_lock_scan:
                current = locks(self.system.videos)
                self.new_locks += [now] * len(current - seen)
                seen |= current
                next_lock_scan = now + 0.01
            time.sleep(0.001)
        header.close()


def record(build, run, name, recorder, seconds):
    """Records `seconds` of the camera; what it cost and how the loop went."""
    system = System(build, run, name)
    try:
        frames = int(seconds * FPS) + 1  # the first frame only gives the geometry
        rec = system.spawn([recorder], "roadrecd.out")
        sampler = LoopSampler(system)
        sampler.start()
        sim = system.simulator("--start-delay", "3", "--frames", str(frames), "--duration", str(seconds + 6))
        sim.wait()
        time.sleep(1.0)  # the last frames reach the encoder
        cpu, storage_bytes, write_bytes = end_and_account(rec, signal.SIGTERM)
        sampler.stop = True
        sampler.join()
        files = segments(system.videos)
        recorded = sum(len(ffprobe_packets(p)) for p in files) / 10.0
        gaps = [(b - a, b) for a, b in zip(sampler.receives, sampler.receives[1:])]
        rotations = sampler.new_locks[1:]  # the first lock is the trip's first segment
        stall = max((g for g, end in gaps for r in rotations if r - 0.5 <= end <= r + 2.0), default=float("nan"))
        return {
            "cpu": cpu / recorded, "storage": storage_bytes / recorded, "writes": write_bytes / recorded,
            "stall": stall, "gap_p50": statistics.median(g for g, _ in gaps), "rotations": len(rotations),
            "recorded": recorded, "expected": (frames - 1) // 2 / 10.0, "segments": len(files),
        }
    finally:
        system.close()


def loss_window(build, run, name, recorder, kills, recovers, seed):
    """Seconds of video lost per SIGKILL at a random moment 2..20 s into a segment."""
    system = System(build, run, name)
    rng = random.Random(seed)
    losses = []
    try:
        system.simulator()
        pending = None  # (segment, seconds it held when killed) of the last kill
        for i in range(kills + 1):
            before = locks(system.videos)
            rec = system.spawn([recorder], "roadrecd.%d.out" % i)
            if pending:
                segment, held = pending
                if recovers:
                    wait_for(lambda: not os.path.exists(segment + ".lock"), 120)
                pts = ffprobe_packets(segment) if os.path.exists(segment) else []
                losses.append(max(0.0, held - (pts[-1] + 0.1 if pts else 0.0)))
            if i == kills:
                end_and_account(rec, signal.SIGTERM)
                break
            wait_for(lambda: len(locks(system.videos) - before) > 0, 120)
            opened = time.monotonic()
            lock = sorted(locks(system.videos) - before)[0]
            time.sleep(rng.uniform(2.0, 20.0))
            held = time.monotonic() - opened
            end_and_account(rec, signal.SIGKILL)
            pending = (lock[:-len(".lock")], held)
        return losses
    finally:
        system.close()


def main():
    # A SIGTERM ends the run like Ctrl-C: children stopped, the temporary worktree removed.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build")
    ap.add_argument("--seconds", type=float, default=200.0, help="seconds recorded per recorder (default 200)")
    ap.add_argument("--kills", type=int, default=20, help="kills for the loss window (default 20)")
    ap.add_argument("--baseline", help="git revision of today's recorder (default: the commit before the change)")
    a = ap.parse_args()

    ref = a.baseline or baseline_ref()
    work = os.path.join(a.build, "bench-recorder")
    remove_baseline(os.path.join(work, "baseline"))
    try:
        print("building today's recorder from %s ..." % git("rev-parse", "--short", ref), flush=True)
        today = build_baseline(ref, os.path.join(work, "baseline"))
        new = os.path.join(a.build, "selfdrive", "orsolo", "roadrecd")

        results = {}
        for name, exe in (("today", today), ("new", new)):
            print("recording %.0f s with the %s recorder ..." % (a.seconds, name), flush=True)
            results[name] = record(a.build, os.path.join(work, "run-" + name), name, exe, a.seconds)
        report_recording(ref, results["today"], results["new"])

        if a.kills > 0:
            print("killing the new recorder %d times ..." % a.kills, flush=True)
            losses = loss_window(a.build, os.path.join(work, "kills-new"), "kills", new, a.kills, True, seed=13)
            report_losses("new", losses)
            today_kills = min(3, a.kills)
            print("killing today's recorder %d times ..." % today_kills, flush=True)
            losses = loss_window(a.build, os.path.join(work, "kills-today"), "killst", today, today_kills, False, seed=13)
            report_losses("today's", losses, "(its open segment does not play)")
    finally:
        remove_baseline(os.path.join(work, "baseline"))


def report_recording(ref, t, n):
    print()
    print("recorder: %dx%d at %d frames/s; today's recorder = %s" % (WIDTH, HEIGHT, FPS, ref))
    for name, r in (("today", t), ("new", n)):
        print("  %-5s recorded %.1f of %.1f s in %d segment(s), %d rotation(s)" %
              (name, r["recorded"], r["expected"], r["segments"], r["rotations"]))
    print("  %-38s %12s %12s %8s" % ("", "today", "new", "new/today"))
    rows = [("CPU s per recorded s", "cpu", "%.3f"), ("bytes to storage per recorded s", "storage", "%.0f"),
            ("bytes to write() per recorded s", "writes", "%.0f"), ("longest loop gap at a rotation (s)", "stall", "%.3f"),
            ("median loop gap (s)", "gap_p50", "%.3f")]
    for label, key, fmt in rows:
        ratio = n[key] / t[key] if t[key] else float("nan")
        print("  %-38s %12s %12s %8.3f" % (label, fmt % t[key], fmt % n[key], ratio))
    print(flush=True)


def report_losses(name, losses, note=""):
    print("  loss per SIGKILL, %s recorder: p50 %.2f s, max %.2f s over %d kills %s" %
          (name, statistics.median(losses), max(losses), len(losses), note))
    print("    each: " + " ".join("%.2f" % x for x in losses), flush=True)


if __name__ == "__main__":
    main()
