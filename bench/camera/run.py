"""Drives the camera benchmark: makes 1080p inputs with ffmpeg, plays each through the camera
server (with a client reading the stream) and through the ffmpeg command, and compares their
CPU time from the kernel's accounting of each child."""
import os
import shutil
import signal
import subprocess
import sys
import time

build, seconds = sys.argv[1], float(sys.argv[2])
run = os.path.join(build, "bench-camera-run")
shutil.rmtree(run, ignore_errors=True)
os.makedirs(run)
prefix = "bench_camera_%d" % os.getpid()
shm = "/dev/shm/" + prefix
os.makedirs(shm, exist_ok=True)
env = dict(os.environ, TAVRIN_PREFIX=prefix, LOGPRINT="warning")

INPUTS = [
    ("MJPEG 1920x1080 30 fps (webcam)", "in_mjpeg.avi", ["-c:v", "mjpeg", "-pix_fmt", "yuvj422p", "-q:v", "4"]),
    ("H.264 1920x1080 30 fps", "in_h264.mp4", ["-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p"]),
]


def cpu(rusage):
    return rusage.ru_utime + rusage.ru_stime


def camera_server(path):
    """CPU seconds of the camera server playing `path` once, and the frames a client got."""
    out = open(os.path.join(run, "camera.out"), "w")
    server = subprocess.Popen([os.path.join(build, "pc/camera/roadrec-camera"), "--input", path], env=env,
                              stdout=out, stderr=subprocess.STDOUT)
    client = subprocess.Popen([os.path.join(build, "bench/camera/camera_stream_count")], env=env,
                              stdout=subprocess.PIPE, text=True)
    deadline = time.time() + seconds + 60
    while time.time() < deadline:
        with open(os.path.join(run, "camera.out")) as f:
            if " ended; no more frames" in f.read():
                break
        time.sleep(0.2)
    server.send_signal(signal.SIGINT)
    _, _, rusage = os.wait4(server.pid, 0)
    server.returncode = 0
    client.send_signal(signal.SIGINT)
    frames = int(client.communicate()[0].strip() or 0)
    return cpu(rusage), frames


def ffmpeg_baseline(path):
    p = subprocess.Popen(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-pix_fmt", "nv12", "-f", "null", "-"])
    _, _, rusage = os.wait4(p.pid, 0)
    p.returncode = 0
    return cpu(rusage)


try:
    print("camera server: CPU s per s of 1920x1080 input (played in real time, served at 20 frames/s)")
    for name, file, codec in INPUTS:
        path = os.path.join(run, file)
        subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=size=1920x1080:rate=30", "-t", str(seconds)] + codec + [path], check=True)
        server_cpu, frames = camera_server(path)
        base_cpu = ffmpeg_baseline(path)
        print("  %-32s camera server %.3f  ffmpeg -pix_fmt nv12 -f null %.3f  ratio %.2f  (%d of %d frames served)" %
              (name, server_cpu / seconds, base_cpu / seconds, server_cpu / base_cpu, frames, int(seconds * 20)))
finally:
    shutil.rmtree(shm, ignore_errors=True)
