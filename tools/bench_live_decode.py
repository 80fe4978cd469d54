#!/usr/bin/env python3
"""CPU time the host program spends reading live 1080p cameras, per way of reading them.

Serves N cameras from loopback (Debian's ffmpeg, pre-encoded 1080p clips at 15 fps copied
without re-encoding: Motion JPEG over HTTP, H.264 in MPEG-TS over HTTP with and without
B-frames), runs one weapon-detect on them with the test module that answers after a fixed
delay (no CPU: what the program spends is reading, decoding and its own work), and reads the
process's CPU time from /proc over a fixed window. The ways are interleaved in rounds on one
machine and the medians compared:

  mjpeg opencv     OpenCV's capture (WEAPON_DETECT_LIVE_READER=opencv): every frame decoded
  mjpeg ffmpeg     the program's own reader: only the frames analysed are decoded
  h264* full       every frame decoded in full (WEAPON_DETECT_CHEAP_DECODE=0)
  h264* cheap      the cheap decode once the analysis takes under half of the frames
  h264* opencv     OpenCV's capture

With --pass-time MODEL-FOLDER it measures instead the time of one detector call inside the
program (the mean of weapon_detect_detector_seconds from /metrics) on one 1080p Motion JPEG
camera with real models, read by OpenCV's capture (every frame decoded beside the analysis)
and by the program's own reader (only the analysed frames decoded, between the calls).

Usage: tools/bench_live_decode.py BUILD-DIR [--cameras 4] [--rounds 3] [--seconds 15]
       [--delay-ms 200] [--only WAY,WAY] [--pass-time MODEL-FOLDER [--tbb LIBTBB]]
BUILD-DIR holds bin/weapon-detect and tests/libzrv_steady_module.so (a build with tests).
"""
import urllib.request
import argparse
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

TICKS = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def wait_port(port, limit=10):
    wanted = ":%04X" % port
    deadline = time.time() + limit
    while time.time() < deadline:
        with open("/proc/net/tcp") as f:
            for line in f:
                parts = line.split()
                if len(parts) > 3 and parts[3] == "0A" and parts[1].endswith(wanted):
                    return True
        time.sleep(0.05)
    return False


def encode(scratch):
    clips = {}
    common = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
              "testsrc2=size=1920x1080:rate=15", "-t", "20"]
    for name, args in {
        "mjpeg": ["-c:v", "mjpeg", "-q:v", "5", "-f", "mjpeg"],
        "h264-bframes": ["-c:v", "libx264", "-preset", "veryfast", "-g", "30", "-pix_fmt", "yuv420p", "-f", "mpegts"],
        "h264-ippp": ["-c:v", "libx264", "-preset", "veryfast", "-bf", "0", "-g", "30", "-pix_fmt", "yuv420p",
                      "-f", "mpegts"],
    }.items():
        path = os.path.join(scratch, name)
        subprocess.run(common + args + [path], check=True)
        clips[name] = path
    return clips


def frames_so_far(part):
    """Frames read by every camera so far, from the newest stats record of each."""
    last = {}
    with open(part) as f:
        for line in f:
            try:
                r = json.loads(line)
            except ValueError:
                continue  # a line being written
            if r.get("type") == "stats":
                last[r["camera"]] = r["frames"]
    return sum(last.values())


def detector_seconds(port):
    text = urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10).read().decode()
    total = count = 0.0
    for line in text.splitlines():
        if line.startswith("weapon_detect_detector_seconds_sum"):
            total += float(line.split()[-1])
        elif line.startswith("weapon_detect_detector_seconds_count"):
            count += float(line.split()[-1])
    return total, count


def pass_time(build, clip, models, env_extra, seconds, scratch):
    port = free_port()
    server = subprocess.Popen(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-stream_loop", "-1", "-f", "mjpeg", "-i", clip,
         "-c", "copy", "-f", "mpjpeg", "-listen", "1", f"http://127.0.0.1:{port}/live"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_port(port):
        raise SystemExit(f"the stream server on port {port} did not start")
    http = free_port()
    run = subprocess.Popen([os.path.join(build, "bin", "weapon-detect"), f"http://127.0.0.1:{port}/live",
                            "--models", models, "--http", str(http), "-q", "-o", os.path.join(scratch, "o.jsonl")],
                           env=dict(os.environ, **env_extra), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(8)  # models loaded, frames flowing
        s0, n0 = detector_seconds(http)
        c0, t0 = cpu_seconds(run.pid), time.monotonic()
        time.sleep(seconds)
        s1, n1 = detector_seconds(http)
        c1, t1 = cpu_seconds(run.pid), time.monotonic()
    finally:
        run.send_signal(signal.SIGTERM)
        run.wait(timeout=30)
        server.kill()
        server.wait()
    return (s1 - s0) / max(1.0, n1 - n0), (n1 - n0) / (t1 - t0), (c1 - c0) / (t1 - t0)


def measure(build, clip, container, env_extra, cameras, seconds, delay_ms, scratch):
    servers, urls = [], []
    for _ in range(cameras):
        port = free_port()
        source = ["-f", "mjpeg"] if container == "mpjpeg" else []
        servers.append(subprocess.Popen(
            ["ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-stream_loop", "-1"] + source +
            ["-i", clip, "-c", "copy", "-f", container, "-listen", "1", f"http://127.0.0.1:{port}/live"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        if not wait_port(port):
            raise SystemExit(f"the stream server on port {port} did not start")
        urls.append(f"http://127.0.0.1:{port}/live")
    env = dict(os.environ, STEADY_MODULE_DELAY_MS=str(delay_ms), **env_extra)
    out = os.path.join(scratch, "out.jsonl")
    args = [os.path.join(build, "bin", "weapon-detect")]
    for i, url in enumerate(urls):
        args += [url, "--camera-id", f"cam{i}"]
    args += ["--module", os.path.join(build, "tests", "libzrv_steady_module.so"), "--stats-interval", "1",
             "-q", "-o", out]
    run = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    part = os.path.join(scratch, "out.part.jsonl")
    try:
        time.sleep(4)  # connected, decoder made, the cheap rule settled
        c0, t0, f0 = cpu_seconds(run.pid), time.monotonic(), frames_so_far(part)
        time.sleep(seconds)
        c1, t1, f1 = cpu_seconds(run.pid), time.monotonic(), frames_so_far(part)
    finally:
        run.send_signal(signal.SIGTERM)
        run.wait(timeout=30)
        for s in servers:
            s.kill()
            s.wait()
    last = {}
    with open(out) as f:
        for line in f:
            r = json.loads(line)
            if r.get("type") == "stats":
                last[r["camera"]] = r
    frames = sum(r["frames"] for r in last.values())
    analysed = sum(r["analysed"] for r in last.values())
    decoded = sum(r.get("decoded", r["frames"]) for r in last.values())
    # CPU seconds per second of stream: per frame received in the window, times the camera
    # rate (a reader that cannot keep up receives fewer frames than the cameras send).
    return (c1 - c0) / max(1, f1 - f0) * 15.0 * cameras, frames, analysed, decoded


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--cameras", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=15)
    parser.add_argument("--delay-ms", type=int, default=200)
    parser.add_argument("--only", default="", help="comma-separated ways to run (default all)")
    parser.add_argument("--pass-time", default="", help="a model folder: measure a detector call instead")
    parser.add_argument("--tbb", default="", help="with --pass-time: also with this libtbb.so.12 preloaded")
    a = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        clips = encode(scratch)
        if a.pass_time:
            ways = [("opencv (every frame decoded beside)", {"WEAPON_DETECT_LIVE_READER": "opencv"}),
                    ("own reader (analysed frames only)", {})]
            if a.tbb:
                # The program loads Debian's TBB through OpenCV before the engine loads, and the
                # engine's runtime then uses it: preloading the runtime's own shows the difference.
                ways.append(("own reader, the runtime's own TBB", {"LD_PRELOAD": a.tbb}))
            results = {w[0]: [] for w in ways}
            for r in range(a.rounds):
                for name, env in ways:
                    call, rate, cpu = pass_time(a.build, clips["mjpeg"], a.pass_time, env, a.seconds, scratch)
                    results[name].append(call)
                    print(f"round {r + 1} {name}: {call * 1000:.2f} ms a detector call, {rate:.1f} calls/s, "
                          f"{cpu:.2f} CPU s per s", flush=True)
            for n, v in results.items():
                print(f"  {n:40s} median {statistics.median(v) * 1000:.2f} ms a detector call")
            return 0
        ways = [
            ("mjpeg opencv", "mjpeg", "mpjpeg", {"WEAPON_DETECT_LIVE_READER": "opencv"}),
            ("mjpeg ffmpeg", "mjpeg", "mpjpeg", {}),
            ("h264-bframes opencv", "h264-bframes", "mpegts", {"WEAPON_DETECT_LIVE_READER": "opencv"}),
            ("h264-bframes full", "h264-bframes", "mpegts", {"WEAPON_DETECT_CHEAP_DECODE": "0"}),
            ("h264-bframes cheap", "h264-bframes", "mpegts", {}),
            ("h264-ippp full", "h264-ippp", "mpegts", {"WEAPON_DETECT_CHEAP_DECODE": "0"}),
            ("h264-ippp cheap", "h264-ippp", "mpegts", {}),
        ]
        if a.only:
            wanted = a.only.split(",")
            ways = [w for w in ways if w[0] in wanted]
        results = {w[0]: [] for w in ways}
        counts = {}
        for r in range(a.rounds):
            for name, clip, container, env in ways:
                cpu, frames, analysed, decoded = measure(a.build, clips[clip], container, env, a.cameras, a.seconds,
                                                         a.delay_ms, scratch)
                results[name].append(cpu)
                counts[name] = (frames, analysed, decoded)
                print(f"round {r + 1} {name}: {cpu:.3f} CPU s per s ({frames} read, {analysed} analysed, "
                      f"{decoded} decoded)", flush=True)
        print(f"\n{a.cameras} cameras, 1920x1080 at 15 fps, analysis every {a.delay_ms} ms; medians of {a.rounds}:")
        medians = {n: statistics.median(v) for n, v in results.items()}
        for n, m in medians.items():
            frames, analysed, decoded = counts[n]
            print(f"  {n:22s} {m:6.3f} CPU s per s of stream ({m / a.cameras:.3f} per camera); last run: "
                  f"{decoded}/{frames} frames decoded, {analysed} analysed")
        for new, old in [("mjpeg ffmpeg", "mjpeg opencv"), ("h264-bframes cheap", "h264-bframes full"),
                         ("h264-bframes full", "h264-bframes opencv"), ("h264-ippp cheap", "h264-ippp full")]:
            if new in medians and old in medians and medians[old] > 0:
                print(f"  {new} / {old}: {medians[new] / medians[old]:.2f}")


if __name__ == "__main__":
    sys.exit(main())
