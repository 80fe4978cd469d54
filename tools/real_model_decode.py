"""The engine on a real trained detector, checked against an independent decode of the same
frames, and the engine at one precision against itself at another.

    .deps/models/bin/python tools/real_model_decode.py compare FRAME_BOXES MODEL.onnx CLIP \
        [--frames 100] [--score 0.25] [--iou 0.7]

runs FRAME_BOXES (tools/frame_boxes.cpp, the engine as a host calls it, in 32-bit floats) and
onnxruntime on the first --frames frames of CLIP, and matches their boxes. The independent
decode is the training tools' own: letterbox (scale to fit keeping the aspect ratio, sides
rounded, bilinear, grey 114 padding centred as round(pad - 0.1) on the left and top), RGB
scaled to [0, 1]; output [1, 4 + C, N]: score = best class score, kept when above --score;
greedy suppression per class at --iou; then boxes mapped back through the letterbox and
clipped to the frame. Prints the counts and exits 1 unless every box of each side is
matched by one of the other (same class, IoU >= 0.9, score within 1e-3); a box scoring
within that tolerance of --score may be missing on one side.

    .deps/models/bin/python tools/real_model_decode.py precision FRAME_BOXES MODEL.onnx CLIP \
        [--frames 60] [--rounds 3] [--precisions f32,bf16] [--extra NAME=MODEL.onnx ...] [--classes N]

the engine at each precision (ZRV_ENGINE_PRECISION) and each --extra model (e.g. an INT8
export, at the default precision), rounds interleaved; prints per variant the median time
of an engine call and the share of f32's boxes it matched (IoU >= 0.9, same class) at
scores 0.25 and 0.5.

Needs the project's model environment (.deps/models: onnxruntime, numpy, OpenCV).
"""
import argparse
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from greedy_nms import greedy_nms  # noqa: E402

SCORE_TOLERANCE = 1e-3
MATCH_IOU = 0.9
# Bounds every wait on the engine's process: a load, or one frame.
WAIT_SECONDS = 120


def letterbox(frame, width, height):
    """The frame drawn into a width x height canvas as the training tools do; answers the
    canvas (BGR) with the gain and the left and top padding."""
    h, w = frame.shape[:2]
    gain = min(height / h, width / w)
    new_w, new_h = int(round(w * gain)), int(round(h * gain))
    dw, dh = (width - new_w) / 2, (height - new_h) / 2
    if (new_w, new_h) != (w, h):
        frame = cv2.resize(frame, (new_w, new_h), interpolation=cv2.INTER_LINEAR)
    top, bottom = int(round(dh - 0.1)), int(round(dh + 0.1))
    left, right = int(round(dw - 0.1)), int(round(dw + 0.1))
    canvas = cv2.copyMakeBorder(frame, top, bottom, left, right, cv2.BORDER_CONSTANT, value=(114, 114, 114))
    return canvas, gain, left, top


def decode(output, score, iou, gain, pad_x, pad_y, frame_w, frame_h):
    """Boxes [class, score, x1, y1, x2, y2] of one image from an anchor-free output
    [4 + C, N], in frame pixels, best first."""
    rows = output.T
    cls = rows[:, 4:]
    classes = cls.argmax(1)
    scores = cls[np.arange(len(cls)), classes]
    keep = np.nonzero(scores > score)[0]
    rows, scores, classes = rows[keep].astype(np.float64), scores[keep].astype(np.float64), classes[keep]
    cx, cy, w, h = rows[:, 0], rows[:, 1], rows[:, 2], rows[:, 3]
    boxes = np.stack([cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2], 1)
    kept = []
    for c in np.unique(classes):
        members = np.nonzero(classes == c)[0]
        kept += [members[k] for k in greedy_nms(boxes[members], scores[members], iou)]
    results = []
    for i in sorted(kept, key=lambda i: -scores[i]):
        x1, x2 = ((boxes[i, [0, 2]] - pad_x) / gain).clip(0, frame_w)
        y1, y2 = ((boxes[i, [1, 3]] - pad_y) / gain).clip(0, frame_h)
        if x2 > x1 and y2 > y1:
            results.append([int(classes[i]), float(scores[i]), x1, y1, x2, y2])
    return results


def rounded(box):
    """A box with its edges on whole pixels, as the engine reports them (halves away from 0)."""
    return [box[0], box[1], *(float(np.floor(v + 0.5)) for v in box[2:])]


def box_iou(a, b):
    w = max(0.0, min(a[4], b[4]) - max(a[2], b[2]))
    h = max(0.0, min(a[5], b[5]) - max(a[3], b[3]))
    inter = w * h
    union = (a[4] - a[2]) * (a[5] - a[3]) + (b[4] - b[2]) * (b[5] - b[3]) - inter
    return inter / union if union > 0 else 0.0


def match(reference, other, floor=0.0):
    """Pairs the boxes of two lists (class, score, corners) scoring at least floor: each
    reference box, best first, takes the unpaired box of its class with the highest IoU,
    when that is >= 0.9. Answers the pairs and the unpaired boxes of each side."""
    reference = [b for b in reference if b[1] >= floor]
    other = [b for b in other if b[1] >= floor]
    taken = [False] * len(other)
    pairs, lonely = [], []
    for a in sorted(reference, key=lambda b: -b[1]):
        best, best_iou = -1, MATCH_IOU
        for j, b in enumerate(other):
            if not taken[j] and b[0] == a[0]:
                overlap = box_iou(a, b)
                if overlap >= best_iou:
                    best, best_iou = j, overlap
        if best < 0:
            lonely.append(a)
        else:
            taken[best] = True
            pairs.append((a, other[best]))
    return pairs, lonely, [b for j, b in enumerate(other) if not taken[j]]


class Engine:
    """The engine's process (tools/frame_boxes.cpp) on one model: frames in, boxes out."""

    def __init__(self, frame_boxes, model, environment, score=0.25, iou=0.7, classes=("Normal", "Fall")):
        self.folder = tempfile.mkdtemp(prefix="real-model-")
        os.symlink(os.path.abspath(model), os.path.join(self.folder, "model.onnx"))
        with open(os.path.join(self.folder, "model.names"), "w") as f:
            f.write("".join(name + "\n" for name in classes))
        env = dict(os.environ, **environment)
        self.process = subprocess.Popen([frame_boxes, self.folder, "model", "model.names", str(score), str(iou)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        if self._line() != "ready":
            self.close()
            raise SystemExit(f"{frame_boxes} did not load {model} (its lines are above)")

    def _line(self):
        ready, _, _ = select.select([self.process.stdout], [], [], WAIT_SECONDS)
        if not ready:
            self.process.kill()
            raise SystemExit(f"the engine gave no answer in {WAIT_SECONDS} s")
        return self.process.stdout.readline().decode().strip()

    def boxes(self, frame):
        """The engine's boxes for a BGR frame, and the time of its call in milliseconds."""
        self.send(frame)
        return self.receive()

    def send(self, frame):
        """Hands a BGR frame to the engine, which works on it meanwhile."""
        h, w = frame.shape[:2]
        self.process.stdin.write(f"{w} {h}\n".encode() + np.ascontiguousarray(frame).tobytes())
        self.process.stdin.flush()

    def receive(self):
        """The boxes of the frame sent last, and the time of its engine call."""
        line = self._line()
        if not line:
            raise SystemExit(f"the engine stopped (status {self.process.wait()})")
        answer = json.loads(line)
        return [[int(b[0]), float(b[1]), *map(float, b[2:])] for b in answer["boxes"]], answer["ms"]

    def close(self):
        if self.process.stdin:
            self.process.stdin.close()
        try:
            self.process.wait(timeout=WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


def frames(clip, count):
    capture = cv2.VideoCapture(clip)
    if not capture.isOpened():
        raise SystemExit(f"cannot read {clip}")
    got = []
    while len(got) < count:
        ok, frame = capture.read()
        if not ok:
            break
        got.append(frame)
    if len(got) < count:
        raise SystemExit(f"{clip} has {len(got)} frames; {count} were asked for")
    return got


def compare(args):
    import onnxruntime as ort

    # One thread each, the engine and onnxruntime working on a frame at the same time: on a
    # small machine that is faster than each in turn on every core.
    options = ort.SessionOptions()
    options.intra_op_num_threads = 1
    options.inter_op_num_threads = 1
    session = ort.InferenceSession(args.model, options, providers=["CPUExecutionProvider"])
    name = session.get_inputs()[0].name
    _, _, height, width = session.get_inputs()[0].shape
    engine = Engine(args.frame_boxes, args.model, {"ZRV_ENGINE_PRECISION": "f32", "ZRV_ENGINE_THREADS": "1"},
                    args.score, args.iou)
    total = matched = at_floor = 0
    worst_score = worst_iou = 0.0
    failures = []
    try:
        for index, frame in enumerate(frames(args.clip, args.frames)):
            engine.send(frame)
            canvas, gain, pad_x, pad_y = letterbox(frame, width, height)
            blob = cv2.cvtColor(canvas, cv2.COLOR_BGR2RGB).transpose(2, 0, 1)[None].astype(np.float32) / 255
            output = session.run(None, {name: blob})[0][0]
            reference = [rounded(b) for b in decode(output, args.score, args.iou, gain, pad_x, pad_y,
                                                     frame.shape[1], frame.shape[0])]
            found, _ = engine.receive()
            pairs, lonely, extra = match(reference, found)
            total += len(reference)
            matched += len(pairs)
            for a, b in pairs:
                worst_score = max(worst_score, abs(a[1] - b[1]))
                worst_iou = max(worst_iou, 1 - box_iou(a, b))
                if abs(a[1] - b[1]) > SCORE_TOLERANCE:
                    failures.append(f"frame {index}: score {b[1]:.6f} where the reference has {a[1]:.6f}")
            for side, boxes in (("the reference", lonely), ("the engine", extra)):
                for b in boxes:
                    if b[1] < args.score + SCORE_TOLERANCE:
                        at_floor += 1
                    else:
                        failures.append(f"frame {index}: only {side} has class {b[0]} at {b[1]:.4f}, "
                                        f"box {[round(v, 1) for v in b[2:]]}")
    finally:
        engine.close()
    print(f"{args.frames} frames: {matched} of {total} reference boxes matched by the engine "
          f"(IoU >= {MATCH_IOU}, same class); largest score difference {worst_score:.2e}, "
          f"smallest IoU {1 - worst_iou:.4f}; {at_floor} unpaired within {SCORE_TOLERANCE} of the score floor")
    for line in failures[:20]:
        print(line)
    if total < args.frames:
        print(f"too few boxes ({total}) for a comparison: the clip should show people")
        return 1
    return 1 if failures else 0


def precision(args):
    clip = frames(args.clip, args.frames)
    variants = [(p, args.model, {"ZRV_ENGINE_PRECISION": p}) for p in args.precisions.split(",")]
    for extra in args.extra:
        label, _, path = extra.partition("=")
        variants.append((label, path, {}))
    classes = [f"class{i}" for i in range(args.classes)] if args.classes else ["Normal", "Fall"]
    times = {label: [] for label, _, _ in variants}
    boxes = {}
    for round_index in range(args.rounds):
        for label, model, environment in variants:
            engine = Engine(args.frame_boxes, model, environment, classes=classes)
            try:
                engine.boxes(clip[0])  # first call costs extra
                found = []
                for frame in clip:
                    got, ms = engine.boxes(frame)
                    found.append(got)
                    times[label].append(ms)
            finally:
                engine.close()
            boxes.setdefault(label, found)
        print(f"round {round_index + 1} of {args.rounds} done", file=sys.stderr, flush=True)
    base = variants[0][0]
    base_ms = float(np.median(times[base]))
    print(f"{len(clip)} frames of {os.path.basename(args.clip)}, {args.rounds} interleaved rounds, "
          f"{os.path.basename(args.model)}; agreement with {base} (boxes matched at IoU >= {MATCH_IOU})")
    print(f"{'variant':10s} {'ms/call':>8s} {'vs ' + base:>8s} {'at 0.25':>18s} {'at 0.5':>18s}")
    for label, _, _ in variants:
        ms = float(np.median(times[label]))
        cells = []
        for floor in (0.25, 0.5):
            reference = sum(len([b for b in f if b[1] >= floor]) for f in boxes[base])
            same = sum(len(match(f, g, floor)[0]) for f, g in zip(boxes[base], boxes[label]))
            cells.append(f"{same}/{reference} {100 * same / max(reference, 1):5.1f}%")
        print(f"{label:10s} {ms:8.1f} {base_ms / ms:7.2f}x {cells[0]:>18s} {cells[1]:>18s}")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    for command in ("compare", "precision"):
        p = sub.add_parser(command)
        p.add_argument("frame_boxes")
        p.add_argument("model")
        p.add_argument("clip")
        p.add_argument("--frames", type=int, default=100 if command == "compare" else 60)
    sub.choices["compare"].add_argument("--score", type=float, default=0.25)
    sub.choices["compare"].add_argument("--iou", type=float, default=0.7)
    sub.choices["precision"].add_argument("--rounds", type=int, default=3)
    sub.choices["precision"].add_argument("--precisions", default="f32,bf16")
    sub.choices["precision"].add_argument("--extra", action="append", default=[])
    sub.choices["precision"].add_argument("--classes", type=int, default=0,
                                          help="class count of the model (default: the person model's two)")
    args = parser.parse_args()
    started = time.monotonic()
    status = compare(args) if args.command == "compare" else precision(args)
    print(f"({time.monotonic() - started:.0f} s)")
    sys.exit(status)


if __name__ == "__main__":
    main()
