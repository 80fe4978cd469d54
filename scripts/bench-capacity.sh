#!/usr/bin/env bash
# The capacity benchmark: how many live 1080p cameras at 15 fps one weapon-detect keeps at
# >= 5 analysed frames per second each, with the realistic-cost 320 detectors, for Motion-JPEG
# over HTTP and H.264 in MPEG-TS over HTTP, in 32-bit floats and in the runtime's own precision
# (ZRV_ENGINE_PRECISION=auto). Each camera is one ffmpeg serving a clip encoded once up front
# (-re -stream_loop -1 -c copy: no encoding per camera) on a free loopback port. The camera
# count is grown by doubling, then bisected; each trial is bounded (warm-up, then a measured
# window). Prints one table: cameras reached, engine passes/s against benchmark_app's
# throughput on the same model, the CPU split by thread name and the peak resident memory.
# Usage: scripts/bench-capacity.sh [--max N] [--start N] [--codecs mjpeg,h264]
#                                  [--precisions f32,auto] [--warm S] [--measure S]
#                                  [--min-fps F] [--no-build]
#        (also: scripts/bench.sh capacity [the same options])
set -euo pipefail
cd "$(dirname "$0")/.."

build=1
args=()
for a in "$@"; do
  if [ "$a" = --no-build ]; then build=0; else args+=("$a"); fi
done
if [ "$build" = 1 ]; then
  scripts/install-deps.sh bench
  cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZRV_BUILD_TESTS=OFF -DZRV_BUILD_BENCHMARKS=ON >/dev/null
  cmake --build build-bench -j "$(nproc)" --target weapon-detect
fi
program=build-bench/bin/weapon-detect
[ -x "$program" ] || { echo "bench-capacity: $program is missing (run without --no-build)" >&2; exit 1; }

models=build-bench/cost-models
if [ ! -f "$models/anchor_free_320.onnx" ] || [ ! -f "$models/objectness_320.onnx" ]; then
  /usr/bin/python3 tools/generate_cost_models.py "$models" 320
fi

# The clips, encoded once: 300 frames of a real scene (OpenCV's pedestrian clip, else the
# demo scene) scaled to 1920 x 1080 and played at 15 fps, as a camera would send them.
clips=build-bench/capacity-clips
mkdir -p "$clips"
source_clip=$(dpkg -L opencv-doc 2>/dev/null | grep '/vtest\.avi$' | head -1 || true)
if [ -z "$source_clip" ] || [ ! -f "$source_clip" ]; then
  source_clip=$clips/demo/demo_scene.avi
  [ -f "$source_clip" ] || "$program" --demo --max-frames 1 -q --output-dir "$clips/demo" >/dev/null
fi
encode() {  # OUTPUT FFMPEG-OUTPUT-OPTIONS...: written whole or not at all
  local out=$1; shift
  [ -s "$out" ] && return 0
  ffmpeg -nostdin -hide_banner -loglevel error -y -r 15 -i "$source_clip" -frames:v 300 "$@" "$out.part"
  mv "$out.part" "$out"
}
encode "$clips/mjpeg.mkv" -vf scale=1920:1080,format=yuvj420p -c:v mjpeg -q:v 5 -f matroska
encode "$clips/h264.ts" -vf scale=1920:1080,format=yuv420p -c:v libx264 -preset fast -profile:v main \
  -bf 0 -g 30 -b:v 4M -maxrate 4M -bufsize 4M -f mpegts

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/models"
cp "$models/anchor_free_320.onnx" "$scratch/models/train_last.onnx"
cp "$models/objectness_320.onnx" "$scratch/models/filter.onnx"
echo handgun > "$scratch/models/classes.names"; echo person > "$scratch/models/filter.names"

# The trials themselves: every server and the program are children of this Python process,
# stopped when a trial ends, on any error, on Ctrl-C or SIGTERM, and killed by the kernel if
# this process dies (PR_SET_PDEATHSIG).
/usr/bin/python3 - "$program" "$scratch" "$clips" "$models/anchor_free_320.onnx" "${args[@]}" <<'PY'
import argparse, ctypes, os, re, signal, socket, subprocess, sys, time, urllib.request

program, scratch, clips, bench_model = sys.argv[1:5]
p = argparse.ArgumentParser(prog="bench-capacity")
p.add_argument("--max", type=int, default=32, help="most cameras tried")
p.add_argument("--start", type=int, default=4, help="first camera count tried")
p.add_argument("--codecs", default="mjpeg,h264")
p.add_argument("--precisions", default="f32,auto")
p.add_argument("--warm", type=float, default=20.0, help="seconds after every camera analysed its first frame")
p.add_argument("--measure", type=float, default=20.0, help="seconds measured")
p.add_argument("--min-fps", type=float, default=5.0, help="analysed frames per second every camera keeps")
o = p.parse_args(sys.argv[5:])
if o.max < 1 or o.start < 1:
    p.error("--max and --start are at least 1")

CAMERA_FPS = 15.0
READ_SHARE = 0.97   # the reader keeps the camera's rate: no backlog hides before the capture time
DELAY_BOUND = 1.0   # seconds from capture to result for 95 % of the analysed frames
PASS_FLOOR = 0.005  # a detector call longer than this ran an engine pass (one takes >= 10 ms here)
CONTAINER = {"mjpeg": ("mjpeg.mkv", "mpjpeg"), "h264": ("h264.ts", "mpegts")}
libc = ctypes.CDLL("libc.so.6", use_errno=True)
children = []


def die_with_parent():
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def start(cmd, log, env=None):
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, env=env,
                            preexec_fn=die_with_parent)
    children.append(proc)
    return proc


def stop(proc, grace=20.0):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    if proc in children:
        children.remove(proc)


def on_signal(signum, frame):
    raise SystemExit(128 + signum)


signal.signal(signal.SIGTERM, on_signal)
signal.signal(signal.SIGINT, on_signal)


def free_ports(count):
    held = []
    try:
        for _ in range(count):
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            held.append(s)
        return [s.getsockname()[1] for s in held]
    finally:
        for s in held:
            s.close()


def listening(port):
    # Read from the kernel's table: a connection would be the single client the server takes.
    want = ":%04X" % port
    for table in ("/proc/net/tcp",):
        with open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if fields[1].endswith(want) and fields[3] == "0A":
                    return True
    return False


def start_servers(codec, count, log):
    clip, muxer = CONTAINER[codec]
    servers = []
    for attempt in range(3):
        ports = free_ports(count - len(servers))
        batch = []
        for port in ports:
            cmd = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-stream_loop", "-1",
                   "-i", os.path.join(clips, clip), "-c", "copy", "-f", muxer, "-listen", "1",
                   "http://127.0.0.1:%d/cam" % port]
            batch.append((start(cmd, log), port))
        deadline = time.monotonic() + 15
        pending = list(batch)
        while pending and time.monotonic() < deadline:
            pending = [(s, port) for s, port in pending if s.poll() is None and not listening(port)]
            time.sleep(0.1)
        for s, port in batch:
            if s.poll() is None and listening(port):
                servers.append((s, port))
            else:
                stop(s, 2)  # its port was taken meanwhile, or it never listened: another port
        if len(servers) == count:
            return servers
    raise RuntimeError("could not start %d camera servers (see %s)" % (count, log.name))


def scrape(port):
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5) as r:
        text = r.read().decode()
    values = {}
    for line in text.splitlines():
        if line.startswith("#") or not line.strip():
            continue
        m = re.match(r'^(\w+)(\{[^}]*\})?\s+(\S+)$', line)
        if not m:
            continue
        labels = dict(re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', m.group(2) or ""))
        camera = labels.pop("camera", None)
        key = (m.group(1), tuple(sorted(labels.items())))
        values.setdefault(camera, {})[key] = float(m.group(3))
    return values


def metric(values, camera, name, **labels):
    return values.get(camera, {}).get((name, tuple(sorted(labels.items()))), 0.0)


def thread_times(pid):
    """CPU seconds per thread, keyed by thread id, with its name."""
    tick = os.sysconf("SC_CLK_TCK")
    times = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                stat = f.read()
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                name = f.read().strip()
        except OSError:
            continue  # the thread ended meanwhile
        fields = stat[stat.rindex(")") + 2:].split()
        times[int(tid)] = (name, (int(fields[11]) + int(fields[12])) / tick)
    return times


def kind(tid, pid, name):
    if name.startswith(("wd-read", "wd-open")):
        return "decode"
    if name.startswith("wd-cam-"):
        return "plug-in"
    if tid == pid or name.startswith("wd-"):
        return "rest"
    # The inference runtime's own threads: unnamed, they keep the name of the thread that
    # started them (the page's few threads, when it answers a request, land here too).
    return "engine"


def peak_memory(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def trial(codec, precision, count):
    name = "%s-%s-%d" % (codec, precision, count)
    log = open(os.path.join(scratch, name + ".servers.log"), "w")
    runlog = open(os.path.join(scratch, name + ".log"), "w")
    servers, run = [], None
    try:
        servers = start_servers(codec, count, log)
        http = free_ports(1)[0]
        cmd = [program]
        for i, (_, port) in enumerate(servers):
            cmd += ["http://127.0.0.1:%d/cam" % port, "--camera-id", "cam%d" % (i + 1)]
        cmd += ["--models", os.path.join(scratch, "models"), "--http", "127.0.0.1:%d" % http, "-q",
                "--stats-interval", "0", "-o", os.path.join(scratch, name + ".jsonl")]
        env = dict(os.environ, ZRV_ENGINE_PRECISION=precision)
        run = start(cmd, runlog, env)
        cameras = ["cam%d" % (i + 1) for i in range(count)]
        # Every camera analysed a frame: bounded by a minute (opening N streams, compiling).
        deadline = time.monotonic() + 60
        while True:
            if run.poll() is not None:
                raise RuntimeError("weapon-detect ended with status %d (see %s)" % (run.returncode, runlog.name))
            try:
                values = scrape(http)
                if all(metric(values, c, "weapon_detect_frames_analysed_total") > 0 for c in cameras):
                    break
            except OSError:
                pass
            if time.monotonic() > deadline:
                return {"ok": False, "why": "not every camera analysed a frame within 60 s"}
            time.sleep(0.5)
        time.sleep(o.warm)
        t0, before, cpu0 = time.monotonic(), scrape(http), thread_times(run.pid)
        time.sleep(o.measure)
        t1, after, cpu1 = time.monotonic(), scrape(http), thread_times(run.pid)
        if run.poll() is not None:
            raise RuntimeError("weapon-detect ended during the trial (see %s)" % runlog.name)
        memory = peak_memory(run.pid)
        with open("/proc/loadavg") as f:
            load = float(f.read().split()[0])  # the machine's, others' work included
        span = t1 - t0

        def delta(camera, name, **labels):
            return metric(after, camera, name, **labels) - metric(before, camera, name, **labels)

        per = []
        for c in cameras:
            delays = delta(c, "weapon_detect_analysis_delay_seconds_count")
            per.append({
                "analysed": delta(c, "weapon_detect_frames_analysed_total") / span,
                "read": delta(c, "weapon_detect_frames_read_total") / span,
                "delay": delta(c, "weapon_detect_analysis_delay_seconds_sum") / delays if delays else float("inf"),
                "within": delta(c, "weapon_detect_analysis_delay_seconds_bucket", le="1") / delays if delays else 0,
                "passes": (delta(c, "weapon_detect_detector_seconds_count") -
                           delta(c, "weapon_detect_detector_seconds_bucket", le="0.005")) / span,
            })
        split = {"decode": 0.0, "plug-in": 0.0, "engine": 0.0, "rest": 0.0}
        for tid, (tname, seconds) in cpu1.items():
            split[kind(tid, run.pid, tname)] += seconds - cpu0.get(tid, (tname, 0.0))[1]
        # The workers' time inside the plug-in's calls is inference; outside them, taking the
        # frame (where the reader leaves the decoding to the worker) and the host's own work.
        calls = sum(delta(c, "weapon_detect_detector_cpu_seconds_total") for c in cameras)
        split["inference"] = calls + split.pop("engine")
        split["worker"] = split.pop("plug-in") - calls
        worst = min(per, key=lambda r: r["analysed"])
        why = []
        if worst["analysed"] < o.min_fps:
            why.append("a camera analysed %.2f fps" % worst["analysed"])
        slow = min(r["read"] for r in per)
        if slow < READ_SHARE * CAMERA_FPS:
            why.append("a reader kept %.2f of 15 fps" % slow)
        late = min(r["within"] for r in per)
        if late < 0.95:
            why.append("a camera had %.0f %% of its frames within %g s of capture" % (100 * late, DELAY_BOUND))
        return {
            "ok": not why, "why": "; ".join(why), "min_fps": worst["analysed"], "min_read": slow,
            "passes": sum(r["passes"] for r in per), "analysed": sum(r["analysed"] for r in per),
            "read": sum(r["read"] for r in per),
            "delay": max(r["delay"] for r in per), "within": late,
            "cpu": {k: v / span for k, v in split.items()}, "memory": memory, "load": load,
            "threads": sorted({n for n, _ in cpu1.values()}),
        }
    finally:
        if run is not None:
            stop(run)
        for s, _ in servers:
            stop(s, 5)
        log.close()
        runlog.close()


def report(codec, precision, count, r):
    if "cpu" in r:
        cpu = r["cpu"]
        print("  %2d cameras: %s  min %.2f analysed fps, min read %.2f fps, passes %.1f/s, worst mean delay "
              "%.3f s, %.0f %% within %g s; CPU in cores: readers %.2f, workers outside the plug-in %.2f, "
              "inference %.2f, rest %.2f; "
              "peak %.0f MB; load %.1f%s" % (count, "pass" if r["ok"] else "FAIL", r["min_fps"], r["min_read"], r["passes"],
                                  r["delay"], 100 * r["within"], DELAY_BOUND, cpu["decode"], cpu["worker"],
                                  cpu["inference"], cpu["rest"], r["memory"], r["load"], "" if r["ok"] else " (" + r["why"] + ")"),
              flush=True)
    else:
        print("  %2d cameras: FAIL (%s)" % (count, r["why"]), flush=True)


def search(codec, precision):
    """The largest camera count that passes, by doubling then bisecting, with its trial."""
    results = {}

    def run(count):
        r = trial(codec, precision, count)
        results[count] = r
        report(codec, precision, count, r)
        return r["ok"]

    good, bad = 0, None
    count = min(o.start, o.max)
    while True:
        if run(count):
            good = count
            if count >= o.max:
                break
            count = min(2 * count, o.max)
        else:
            bad = count
            break
    if good == 0 and bad is not None and bad > 1:
        # Even the first count failed: bisect below it.
        lo, hi = 0, bad
    else:
        lo, hi = good, bad
    while hi is not None and hi - lo > 1:
        mid = (lo + hi) // 2
        if run(mid):
            lo = mid
        else:
            hi = mid
    largest = results[max(k for k, r in results.items() if "cpu" in r)] if any("cpu" in r for r in results.values()) else None
    return lo, results.get(lo), results.get(hi) if hi else None, largest


def benchmark_app(precision):
    tool = os.path.join(os.path.dirname(os.path.abspath(program)), "../../.deps/openvino/bin/benchmark_app")
    cmd = [tool, "-m", bench_model, "-d", "CPU", "-hint", "throughput", "-t", "10"]
    if precision == "f32":
        cmd += ["-infer_precision", "f32"]
    out = subprocess.run(cmd, capture_output=True, text=True, preexec_fn=die_with_parent).stdout
    m = re.search(r"Throughput:\s*([\d.]+)", out)
    return float(m.group(1)) if m else float("nan")


def projected(r):
    """Cameras the machine's cores would hold by the CPU time one costs at --min-fps: the
    readers' time per frame read times the camera's 15 fps (they read every frame it sends),
    plus the rest per analysed frame times --min-fps. A figure that holds on a busy machine,
    where the count measured does not."""
    cpu = r["cpu"]
    per_camera = (cpu["decode"] / r["read"] * CAMERA_FPS +
                  (cpu["worker"] + cpu["inference"] + cpu["rest"]) / r["analysed"] * o.min_fps)
    return (os.cpu_count() or 1) / per_camera


try:
    codecs = [c for c in o.codecs.split(",") if c]
    precisions = [x for x in o.precisions.split(",") if x]
    for c in codecs:
        if c not in CONTAINER:
            p.error("unknown codec %s (mjpeg, h264)" % c)
    rows = []
    limits = {x: benchmark_app(x) for x in precisions}
    for codec in codecs:
        for precision in precisions:
            print("== %s, precision %s (benchmark_app, throughput hint: %.1f inferences/s)" %
                  (codec, precision, limits[precision]), flush=True)
            rows.append((codec, precision) + search(codec, precision))
    print()
    print("| stream | precision | cameras at >= %g fps | engine passes/s | benchmark_app /s | passes / "
          "benchmark_app | CPU in cores: readers / workers outside the plug-in / inference / rest | peak memory | "
          "machine load | cameras projected from CPU time (largest trial) | stopped by |" % o.min_fps)
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for codec, precision, reached, at, above, largest in rows:
        limit = limits[precision]
        stopped = "--max %d" % o.max if above is None else "%d cameras: %s" % (reached + 1, above["why"])
        if at is None:
            print("| %s | %s | 0 | | %.1f | | | | | | %s |" % (codec, precision, limit, stopped))
            continue
        cpu = at["cpu"]
        print("| %s | %s | %d | %.1f | %.1f | %.2f | %.2f / %.2f / %.2f / %.2f | %.0f MB | %.1f | %.1f | %s |" % (
            codec, precision, reached, at["passes"], limit, at["passes"] / limit, cpu["decode"], cpu["worker"],
            cpu["inference"], cpu["rest"], at["memory"], at["load"], projected(largest), stopped))
finally:
    for proc in list(children):
        stop(proc, 5)
PY
