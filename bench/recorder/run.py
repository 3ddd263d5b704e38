"""Drives the recorder benchmark: collector, recorder and simulator as real processes, then the
encoder alone on the same frames. CPU times come from the kernel's accounting of each child."""
import os
import shutil
import signal
import subprocess
import sys
import time

build, seconds = sys.argv[1], float(sys.argv[2])
WIDTH, HEIGHT, FPS = 1928, 1208, 20
frames = int(seconds * FPS) + 1  # the first frame only tells the recorder the geometry

run = os.path.join(build, "bench-recorder-run")
shutil.rmtree(run, ignore_errors=True)
os.makedirs(os.path.join(run, "params"))
prefix = "bench_recorder_%d" % os.getpid()
shm = "/dev/shm/" + prefix
os.makedirs(shm, exist_ok=True)
env = dict(os.environ, TAVRIN_PREFIX=prefix, PARAMS_ROOT=os.path.join(run, "params"))


def exe(*parts):
    return os.path.join(build, *parts)


def cpu(rusage):
    return rusage.ru_utime + rusage.ru_stime


def ffprobe_packets(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0", "-show_entries",
                          "stream=nb_read_packets", "-of", "csv=p=0", path], capture_output=True, text=True)
    return int(out.stdout.strip() or 0)


children = []
try:
    out = lambda name: open(os.path.join(run, name), "w")
    collector = subprocess.Popen([exe("tools/logcollector/logcollector")], env=env, cwd=run,
                                 stdout=out("collector.log"), stderr=subprocess.STDOUT)
    children.append(collector)
    time.sleep(0.2)
    recorder = subprocess.Popen([exe("bench/recorder/roadrecd_bench_build")], env=env, cwd=run,
                                stdout=out("roadrecd.out"), stderr=subprocess.STDOUT)
    children.append(recorder)
    with open(os.path.join(run, "idle.scn"), "w") as f:
        f.write("0 ignition off\n0 gear park\n")
    # The stream is served at once and its frames start after 3 s, once the recorder is connected.
    sim = subprocess.Popen([exe("tools/simulator/simulator"), "--scenario", os.path.join(run, "idle.scn"),
                            "--width", str(WIDTH), "--height", str(HEIGHT), "--fps", str(FPS),
                            "--start-delay", "3", "--frames", str(frames), "--duration", str(seconds + 5)],
                           env=env, cwd=run, stdout=out("simulator.out"), stderr=subprocess.STDOUT)
    children.append(sim)
    _, sim_status, sim_ru = os.wait4(sim.pid, 0)
    sim.returncode = 0
    time.sleep(1.0)  # the last frames reach the encoder
    recorder.send_signal(signal.SIGTERM)
    _, rec_status, rec_ru = os.wait4(recorder.pid, 0)
    recorder.returncode = 0
    collector.send_signal(signal.SIGTERM)
    collector.wait()

    videos = os.path.join(run, "videos")
    mp4s = [os.path.join(dp, f) for dp, _, fs in os.walk(videos) for f in fs if f.endswith(".mp4")]
    recorded = sum(ffprobe_packets(p) for p in mp4s)
    expected = (frames - 1) // 2
    rec_cpu = cpu(rec_ru)
    rec_seconds = recorded / 10.0

    enc = subprocess.run([exe("bench/recorder/encoder_only"), run, str(WIDTH), str(HEIGHT), str(frames - 1)],
                         env=env, capture_output=True, text=True, check=True)
    fields = dict(kv.split("=") for kv in enc.stdout.strip().splitlines()[-1].split())
    enc_frames = int(fields["frames_encoded"])
    enc_cpu = float(fields["cpu_s"])
    enc_seconds = enc_frames / 10.0

    print("recorder: %d of %d frames in %d segment(s), %.1f s of video, exit status %d" %
          (recorded, expected, len(mp4s), rec_seconds, os.waitstatus_to_exitcode(rec_status)))
    print("recorder: %.3f CPU s per recorded s (%.2f CPU s in all)" % (rec_cpu / rec_seconds, rec_cpu))
    print("encoder alone: %.3f CPU s per recorded s (%d frames, %.2f CPU s; painting %.2f s excluded; wall %s s)" %
          (enc_cpu / enc_seconds, enc_frames, enc_cpu, float(fields["paint_cpu_s"]), fields["wall_s"]))
    print("ratio recorder / encoder alone: %.3f" % ((rec_cpu / rec_seconds) / (enc_cpu / enc_seconds)))
    print("simulator: %.2f CPU s" % cpu(sim_ru))
    print("kept up in real time: %s" % ("yes" if recorded == expected else "NO (%d frames missing)" % (expected - recorded)))
finally:
    for c in children:
        if c.returncode is None and c.poll() is None:
            c.kill()
            c.wait()
    shutil.rmtree(shm, ignore_errors=True)
