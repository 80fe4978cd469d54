#!/usr/bin/python3
"""Computes what the models of tools/generate_user_exports.py should detect on given
canvases, independently of the engine: each network is rebuilt in torch from the same
seeded builder (tools/user_export_nets.py) and its output decoded as the training tools do.

    /usr/bin/python3 tools/reference_decode.py JOBS.json RESULTS.json

JOBS.json is a list of jobs:
    {"model": name in the manifest, "models_dir": folder with manifest.json,
     "canvas": binary PPM (P6, 8-bit, RGB), already letterboxed to the network input size,
     "scale": float, "pad_x": int, "pad_y": int, "image_width": int, "image_height": int,
     "min_score": float, "iou": float}
RESULTS.json gets a list parallel to the jobs, each a list of
    {"class": int, "score": float, "x1", "y1", "x2", "y2": float}
in descending score, in the pixels of the original image.

The network input is the canvas as RGB, divided by 255, NCHW (rounded to half for the half
precision models, whose half-rounded weights are then applied in float32). Decoding:
  1. objectness layout: score = objectness x best class score; anchor-free layouts: score =
     best class score; class = the first best class; candidates keep score >= min_score.
     End-to-end rows (x1, y1, x2, y2, score, class) keep score >= min_score and go on to
     step 4 without suppression.
  2. boxes as corners in network input pixels, unclipped;
  3. greedy suppression per class, best score first (ties in anchor order): a box goes
     when its IoU (inter / (area A + area B - inter)) with a kept box of its class is > iou;
  4. x = (x - pad_x) / scale, y = (y - pad_y) / scale, clipped to the image; boxes left
     with no width or no height are dropped.
For end_to_end_nms the rows come from the torch boxes and scores through the same
NonMaxSuppression, class mask, TopK and zero padding as the appended ONNX tail.

    /usr/bin/python3 tools/reference_decode.py --self-check MODELS_DIR [NAME...]

runs each exported model (all valid ones by default) with the numpy interpreter of
tools/onnx_numpy.py and compares its output with the torch forward, on the sample canvas
and, for dynamic models, also on a 2-image batch at 320 x 224; it prints the largest
differences and exits 1 when one is beyond the tolerance.

Needs Debian's python3-torch, python3-onnx and python3-numpy.
"""
import json
import os
import sys

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import onnx_numpy  # noqa: E402
import user_export_nets as nets  # noqa: E402

_manifests, _models = {}, {}


def manifest_entry(models_dir, name):
    if models_dir not in _manifests:
        with open(os.path.join(models_dir, "manifest.json")) as f:
            _manifests[models_dir] = {e["name"]: e for e in json.load(f)}
    entries = _manifests[models_dir]
    if name not in entries:
        raise SystemExit(f"{name} is not in {models_dir}/manifest.json")
    if not entries[name]["valid"]:
        raise SystemExit(f"{name} is a model the engine must refuse; it has no detections to compute")
    return entries[name]


def network(name):
    if name not in _models:
        _models[name] = nets.build(name)
    return _models[name]


def read_ppm(path):
    """Binary 8-bit PPM to an H x W x 3 RGB array."""
    with open(path, "rb") as f:
        data = f.read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P6" or int(fields[3]) != 255:
        raise SystemExit(f"{path}: not a binary 8-bit PPM")
    width, height = int(fields[1]), int(fields[2])
    pixels = np.frombuffer(data, np.uint8, width * height * 3, pos + 1)
    return pixels.reshape(height, width, 3)


def nms_tail(boxes, scores):
    """What the ONNX tail of end_to_end_nms makes of one image's corner boxes [N, 4] and
    scores [C, N]: rows [K, 6] of the selected boxes in descending score, zero padded."""
    rows = []
    for c in range(scores.shape[0]):
        cand = np.nonzero(scores[c] > nets.NMS_SCORE)[0]
        for k in onnx_numpy.greedy_nms(boxes[cand], scores[c, cand], nets.NMS_IOU)[:nets.NMS_ROWS]:
            rows.append([*boxes[cand[k]], scores[c, cand[k]], c])
    rows.sort(key=lambda r: -r[4])
    out = np.zeros((nets.NMS_ROWS, 6), np.float32)
    if rows:
        out[:min(len(rows), nets.NMS_ROWS)] = np.array(rows[:nets.NMS_ROWS], np.float32)
    return out


def forward(name, batch):
    """The network output for a batch of RGB canvases, as the exported model answers it."""
    s = nets.variant_settings(name)
    x = torch.cat([nets.to_input(rgb, s["fp16"]) for rgb in batch])
    with torch.no_grad():
        y = network(name)(x)
    if s["head"] == "nms":
        boxes, scores = y[0].numpy(), y[1].numpy()
        return np.stack([nms_tail(b, c) for b, c in zip(boxes, scores)])
    return y.numpy()


def decode(entry, output, job):
    """Detections of one image from the network output of it (leading batch axis dropped)."""
    family = entry["family"]
    if family == "end_to_end":
        boxes, scores, classes = output[:, :4], output[:, 4], np.rint(output[:, 5]).astype(int)
    else:
        rows = output.T if family == "anchor_free" else output
        first = 5 if family == "objectness" else 4
        cls = rows[:, first:]
        classes = cls.argmax(1)
        scores = cls[np.arange(len(cls)), classes]
        if family == "objectness":
            scores = rows[:, 4] * scores
        cx, cy, w, h = (rows[:, i].astype(np.float64) for i in range(4))
        boxes = np.stack([cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2], 1)
    keep = np.nonzero(scores >= job["min_score"])[0]
    boxes, scores, classes = boxes[keep].astype(np.float64), scores[keep].astype(np.float64), classes[keep]
    if family != "end_to_end":
        kept = []
        for c in np.unique(classes):
            members = np.nonzero(classes == c)[0]
            kept += [members[k] for k in onnx_numpy.greedy_nms(boxes[members], scores[members], job["iou"])]
        kept = np.array(sorted(kept), int)
        boxes, scores, classes = boxes[kept], scores[kept], classes[kept]
    order = np.argsort(-scores, kind="stable")
    results = []
    for i in order:
        x1, x2 = ((boxes[i, [0, 2]] - job["pad_x"]) / job["scale"]).clip(0, job["image_width"])
        y1, y2 = ((boxes[i, [1, 3]] - job["pad_y"]) / job["scale"]).clip(0, job["image_height"])
        if x2 > x1 and y2 > y1:
            results.append({"class": int(classes[i]), "score": float(scores[i]),
                            "x1": float(x1), "y1": float(y1), "x2": float(x2), "y2": float(y2)})
    return results


def run_job(job):
    entry = manifest_entry(job["models_dir"], job["model"])
    canvas = read_ppm(job["canvas"])
    h, w = canvas.shape[:2]
    if entry["dynamic"] != "all" and (w, h) != (entry["input_width"], entry["input_height"]):
        raise SystemExit(f"{job['canvas']} is {w} x {h}; {job['model']} takes "
                         f"{entry['input_width']} x {entry['input_height']}")
    return decode(entry, forward(job["model"], [canvas])[0], job)


def self_check(models_dir, names):
    import onnx

    with open(os.path.join(models_dir, "manifest.json")) as f:
        entries = [e for e in json.load(f) if e["valid"] and (not names or e["name"] in names)]
    failed = False
    for e in entries:
        s = nets.variant_settings(e["name"])
        model = onnx.load(os.path.join(models_dir, e["file"]))
        cases = [[nets.letterbox(nets.sample_canvas(), s["height"], s["width"])[0]]]
        if s["dynamic"] != "none":
            small = (224, 320) if s["dynamic"] == "all" else (s["height"], s["width"])
            cases.append([nets.texture_canvas(*small, seed) for seed in (1, 2)])
        for batch in cases:
            expected = forward(e["name"], batch)
            x = torch.cat([nets.to_input(rgb) for rgb in batch]).numpy()
            x = x.astype(np.float16 if s["fp16"] else np.float32)
            # A half model is checked computing in float32, as the reference does, and then
            # with half tensors between operators, to show how far a half runtime may stray.
            for half in (False, True) if s["fp16"] else (False,):
                try:
                    got = onnx_numpy.run(model, {"images": x}, float32=not half)[0].astype(np.float32)
                except (ValueError, IndexError, KeyError, NotImplementedError) as error:
                    print(f"{e['name']}: the graph does not run: {error!r}")
                    failed = True
                    continue
                failed |= compare(e, got, expected, " (half storage)" if half else "",
                                  (8.0, 5e-2) if half else (5e-2, 1e-4))
    return 1 if failed else 0


def compare(e, got, expected, label, limits):
    """Prints the largest box (pixels) and score differences; answers whether one is beyond
    its limit."""
    if got.shape != expected.shape:
        print(f"{e['name']}: shape {got.shape}, torch {expected.shape}")
        return True
    # Boxes in pixels and scores in [0, 1], told apart by layout.
    if e["family"] == "anchor_free":
        box, score = np.s_[:, :4], np.s_[:, 4:]
    elif e["family"] == "end_to_end":
        box, score = np.s_[..., :4], np.s_[..., 4:5]
    else:
        box, score = np.s_[..., :4], np.s_[..., 4:]
    box_diff = float(np.abs(got[box] - expected[box]).max())
    score_diff = float(np.abs(got[score] - expected[score]).max())
    bad = box_diff > limits[0] or score_diff > limits[1]
    print(f"{e['name'] + label:42s} {'x'.join(map(str, got.shape)):13s} box {box_diff:.1e} px, "
          f"score {score_diff:.1e}{'  BEYOND TOLERANCE' if bad else ''}", flush=True)
    return bad


def main():
    torch.set_num_threads(1)
    if len(sys.argv) >= 3 and sys.argv[1] == "--self-check":
        sys.exit(self_check(sys.argv[2], sys.argv[3:]))
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1]) as f:
        jobs = json.load(f)
    results = [run_job(job) for job in jobs]
    with open(sys.argv[2], "w") as f:
        json.dump(results, f, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
