#!/usr/bin/env python3
"""Quantises an ONNX detector to INT8 (a QDQ ONNX model) with calibration frames the user
gives, and checks it against the float model before writing it.

    .deps/models/bin/python tools/quantize_model.py MODEL.onnx CALIBRATION OUT.onnx \\
        [--frames 300] [--held-out 50] [--min-agreement 0.97] [--score 0.25] [--iou 0.5]

CALIBRATION is a video file or a folder of images (.jpg, .jpeg, .png, .bmp, .tif, .tiff,
.webp, .ppm, .pgm, read in name order). FRAMES + HELD-OUT frames are taken evenly spread
over it; the held-out frames are interleaved with the calibration frames and never used for
calibration. Each frame is letterboxed as the engine does it (scaled to fit the network
input keeping its aspect ratio, bilinear, centred on grey 114) and fed as RGB in [0, 1].

The agreement is measured on the held-out frames at the score threshold (--score), after the
engine's per-class suppression (--iou): a float box and an INT8 box of the same class match
when their IoU is at least 0.9 (one to one, best IoU first). Both directions count: the share
of the float model's boxes the INT8 model finds, and the share of the INT8 model's boxes the
float model also has; the agreement is the lower of the two. Both models run on OpenVINO's CPU
runtime in 32-bit floats, as the engine runs them (onnxruntime's figure for the same INT8 model
is printed too, for comparison: the two runtimes need not agree on a QDQ model). Below
--min-agreement (checked against OpenVINO's figure) nothing is written and the exit status is 1.

OUT is written whole or not at all (a temporary file in OUT's folder, renamed over OUT at the
end); OUT must not be MODEL. The model's metadata is kept. The result is loaded by the engine
as any detector (e.g. as train_last.onnx or filter.onnx beside its class file).

Exit status: 0 written; 1 refused or failed (one line on standard error says why); 2 usage.
Needs the project's environment .deps/models (scripts/install-deps.sh test): nncf, openvino
(the engine's version), onnxruntime, onnx, numpy and opencv-python-headless, pinned.
"""
import argparse
import os
import sys
import tempfile

IMAGE_EXTENSIONS = {".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp", ".ppm", ".pgm"}
MATCH_IOU = 0.9


class Refusal(Exception):
    """A reason to stop without writing anything, said in one line."""


def parse_args(argv):
    p = argparse.ArgumentParser(prog="quantize_model.py", description=__doc__.split("\n\n")[0])
    p.add_argument("model", metavar="MODEL.onnx", help="the float detector (never changed)")
    p.add_argument("calibration", metavar="CALIBRATION", help="a video file or a folder of images")
    p.add_argument("out", metavar="OUT.onnx", help="the INT8 model to write")
    p.add_argument("--frames", type=int, default=300, help="calibration frames (default 300)")
    p.add_argument("--held-out", type=int, default=50, help="frames kept out of calibration to measure the agreement (default 50)")
    p.add_argument("--min-agreement", type=float, default=0.97, help="refuse below this agreement, 0 to 1 (default 0.97)")
    p.add_argument("--score", type=float, default=0.25, help="score threshold of the agreement (default 0.25)")
    p.add_argument("--iou", type=float, default=0.5, help="suppression IoU threshold, as the engine's (default 0.5)")
    args = p.parse_args(argv)
    if args.frames < 1:
        p.error("--frames must be at least 1")
    if args.held_out < 1:
        p.error("--held-out must be at least 1")
    if not 0.0 <= args.min_agreement <= 1.0:
        p.error("--min-agreement must lie in [0, 1]")
    if not 0.0 < args.score <= 1.0:
        p.error("--score must lie in (0, 1]")
    if not 0.0 < args.iou <= 1.0:
        p.error("--iou must lie in (0, 1]")
    return args


def check_paths(args):
    if not os.path.isfile(args.model):
        raise Refusal(f"{args.model}: no such model file")
    if not os.access(args.model, os.R_OK):
        raise Refusal(f"{args.model}: not readable")
    same = os.path.realpath(args.out) == os.path.realpath(args.model)
    if not same and os.path.exists(args.out):
        same = os.path.samefile(args.out, args.model)
    if same:
        raise Refusal(f"{args.out}: OUT is the input model; the input model is never overwritten: name another file")
    if os.path.isdir(args.out):
        raise Refusal(f"{args.out}: is a folder; OUT names the model file to write")
    folder = os.path.dirname(os.path.abspath(args.out))
    if not os.path.isdir(folder):
        raise Refusal(f"{folder}: OUT's folder does not exist")
    if not os.access(folder, os.W_OK):
        raise Refusal(f"{folder}: OUT's folder is not writable")
    if not os.path.exists(args.calibration):
        raise Refusal(f"{args.calibration}: no such calibration clip or folder")


def load_model(path):
    import onnx

    try:
        model = onnx.load(path)
    except Exception as error:  # onnx raises DecodeError, OSError, ValueError...
        raise Refusal(f"{path}: not a readable ONNX model ({type(error).__name__}: {error})") from None
    ops = {n.op_type for n in model.graph.node}
    if ops & {"NonMaxSuppression", "TopK"}:
        raise Refusal(f"{path}: the graph ends in its own suppression (NonMaxSuppression/TopK); "
                      "quantise the export without it")
    if ops & {"QuantizeLinear", "DequantizeLinear", "QLinearConv", "ConvInteger", "MatMulInteger"}:
        raise Refusal(f"{path}: the model is quantised already")
    inits = {i.name for i in model.graph.initializer}
    inputs = [i for i in model.graph.input if i.name not in inits]
    if len(inputs) != 1 or len(model.graph.output) != 1:
        raise Refusal(f"{path}: a detector has one image input and one output; this one has "
                      f"{len(inputs)} inputs and {len(model.graph.output)} outputs")
    dims = inputs[0].type.tensor_type.shape.dim
    if len(dims) != 4 or (dims[1].HasField("dim_value") and dims[1].dim_value != 3):
        raise Refusal(f"{path}: the input is not an image [1, 3, H, W]")
    meta = {p.key: p.value for p in model.metadata_props}
    size = [d.dim_value if d.HasField("dim_value") and d.dim_value > 0 else 0 for d in dims[2:]]
    if not all(size):
        # Open sides: the size the export recorded, else 640, as the engine does.
        size = [640, 640]
        digits = [int(t) for t in meta.get("imgsz", "").replace("[", " ").replace("]", " ").replace(",", " ").split()
                  if t.isdigit()]
        if len(digits) == 2:
            size = digits
        elif len(digits) == 1:
            size = digits * 2
    elem = inputs[0].type.tensor_type.elem_type
    if elem != onnx.TensorProto.FLOAT:
        raise Refusal(f"{path}: the input is {onnx.TensorProto.DataType.Name(elem)}; only float32 models are quantised")
    classes = None
    names = meta.get("names", "")
    if names.startswith("{") and names.endswith("}"):
        classes = names.count(":")
    return model, inputs[0].name, (size[1], size[0]), classes


def letterbox(bgr, size):
    """The engine's letterbox (src/engine/letterbox.cpp) of a BGR image into `size` (w, h)."""
    import cv2
    import numpy as np

    rows, cols = bgr.shape[:2]
    scale = min(np.float32(size[0]) / np.float32(cols), np.float32(size[1]) / np.float32(rows))
    w = min(max(int(np.floor(np.float32(cols) * scale + np.float32(0.5))), 1), size[0])
    h = min(max(int(np.floor(np.float32(rows) * scale + np.float32(0.5))), 1), size[1])
    pad_x, pad_y = (size[0] - w) // 2, (size[1] - h) // 2
    canvas = np.full((size[1], size[0], 3), 114, np.uint8)
    canvas[pad_y:pad_y + h, pad_x:pad_x + w] = cv2.resize(bgr, (w, h), interpolation=cv2.INTER_LINEAR)
    return canvas, (float(scale), pad_x, pad_y, cols, rows)


def to_input(canvas):
    import numpy as np

    return (canvas[:, :, ::-1].transpose(2, 0, 1)[None].astype(np.float32) / np.float32(255.0))


def pick(count, frames, held_out):
    """Indices of the calibration and the held-out frames, evenly spread over `count`."""
    total = frames + held_out
    chosen = [i * count // total for i in range(total)]
    step = total / held_out
    held_positions = {min(int((k + 0.5) * step), total - 1) for k in range(held_out)}
    calib = [chosen[j] for j in range(total) if j not in held_positions]
    held = [chosen[j] for j in sorted(held_positions)]
    return calib, held


def read_frames(source, frames, held_out):
    """(calibration frames, held-out frames) as BGR images."""
    import cv2

    need = frames + held_out
    too_few = (f"{source}: {{}}; {frames} calibration and {held_out} held-out frames need {need} "
               "(lower --frames or --held-out, or give more frames)")
    if os.path.isdir(source):
        files = sorted(f for f in os.listdir(source) if os.path.splitext(f)[1].lower() in IMAGE_EXTENSIONS)
        if len(files) < need:
            raise Refusal(too_few.format(f"{len(files)} images"))
        calib, held = pick(len(files), frames, held_out)

        def read(i):
            path = os.path.join(source, files[i])
            image = cv2.imread(path, cv2.IMREAD_COLOR)
            if image is None:
                raise Refusal(f"{path}: not a readable image")
            return image
        return [read(i) for i in calib], [read(i) for i in held]

    capture = cv2.VideoCapture(source)
    if not capture.isOpened():
        raise Refusal(f"{source}: cannot be read as a video (nor is it a folder of images)")
    count = 0
    while capture.grab():
        count += 1
    capture.release()
    if count == 0:
        raise Refusal(f"{source}: cannot be read as a video: no frame decodes")
    if count < need:
        raise Refusal(too_few.format(f"{count} frames"))
    calib, held = pick(count, frames, held_out)
    wanted = {i: None for i in calib + held}
    capture = cv2.VideoCapture(source)
    index = 0
    while index <= max(wanted) and capture.grab():
        if index in wanted:
            ok, image = capture.retrieve()
            if not ok:
                raise Refusal(f"{source}: frame {index} does not decode")
            wanted[index] = image
        index += 1
    capture.release()
    if any(v is None for v in wanted.values()):
        raise Refusal(f"{source}: the video ended before frame {max(wanted)} on the second reading")
    return [wanted[i] for i in calib], [wanted[i] for i in held]


def decode(output, classes, geometry, score, iou):
    """Boxes of one image, as the engine reports them: [(class, x1, y1, x2, y2)] in image
    pixels, clipped, boxes without area dropped."""
    import numpy as np

    out = output[0]
    if out.ndim != 2:
        raise Refusal(f"the output has shape {list(output.shape)}; a detector answers [1, 4 + C, N] or [1, N, 4 + C]")
    channels_first = out.shape[0] < out.shape[1]
    rows = out.T if channels_first else out
    channels = rows.shape[1]
    objectness = classes is not None and channels == 5 + classes
    first = 5 if objectness else 4
    if channels <= first:
        raise Refusal(f"the output has shape {list(output.shape)}: no class channels")
    cls = rows[:, first:]
    best = cls.argmax(1)
    scores = cls[np.arange(len(cls)), best]
    if objectness:
        scores = scores * rows[:, 4]
    keep = np.nonzero(scores >= score)[0]
    cx, cy, w, h = (rows[keep, i].astype(np.float64) for i in range(4))
    boxes = np.stack([cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2], 1)
    scores, best = scores[keep].astype(np.float64), best[keep]
    kept = []
    for c in np.unique(best):
        members = np.nonzero(best == c)[0]
        members = members[np.argsort(-scores[members], kind="stable")]
        while len(members):
            top, members = members[0], members[1:]
            kept.append(top)
            if len(members):
                members = members[iou_one_to_many(boxes[top], boxes[members]) <= iou]
    scale, pad_x, pad_y, width, height = geometry
    result = []
    for i in kept:
        x1, x2 = ((boxes[i, [0, 2]] - pad_x) / scale).clip(0, width)
        y1, y2 = ((boxes[i, [1, 3]] - pad_y) / scale).clip(0, height)
        if x2 > x1 and y2 > y1:
            result.append((int(best[i]), x1, y1, x2, y2))
    return result


def iou_one_to_many(a, b):
    import numpy as np

    w = np.clip(np.minimum(a[2], b[:, 2]) - np.maximum(a[0], b[:, 0]), 0, None)
    h = np.clip(np.minimum(a[3], b[:, 3]) - np.maximum(a[1], b[:, 1]), 0, None)
    inter = w * h
    union = (a[2] - a[0]) * (a[3] - a[1]) + (b[:, 2] - b[:, 0]) * (b[:, 3] - b[:, 1]) - inter
    return np.where(union > 0, inter / np.where(union > 0, union, 1), 0.0)


def matched(reference, other):
    """How many boxes of `reference` and `other` pair up one to one (same class, IoU >= 0.9,
    best IoU first)."""
    import numpy as np

    pairs = []
    for i, a in enumerate(reference):
        if not other:
            break
        same = [j for j, b in enumerate(other) if b[0] == a[0]]
        if not same:
            continue
        ious = iou_one_to_many(np.array(a[1:]), np.array([other[j][1:] for j in same]))
        pairs += [(v, i, j) for v, j in zip(ious, same) if v >= MATCH_IOU]
    used_a, used_b, count = set(), set(), 0
    for _, i, j in sorted(pairs, reverse=True):
        if i not in used_a and j not in used_b:
            used_a.add(i)
            used_b.add(j)
            count += 1
    return count


def softmax_consumers(model):
    """Names of the nodes that take a Softmax's output, through reshapes and transposes: in
    the detectors' box heads, the convolution that turns each edge's distance distribution
    into its expected distance."""
    consumers = {}
    for node in model.graph.node:
        for name in node.input:
            consumers.setdefault(name, []).append(node)
    found, todo = [], [n for n in model.graph.node if n.op_type == "Softmax"]
    while todo:
        node = todo.pop()
        for output in node.output:
            for c in consumers.get(output, []):
                if c.op_type in ("Reshape", "Transpose", "Squeeze", "Unsqueeze", "Flatten"):
                    todo.append(c)
                else:
                    found.append(c.name)
    return found


def quantize(model, input_name, canvases):
    import logging

    import nncf

    nncf.set_log_level(logging.WARNING)  # not a line per operation left in float
    dataset = nncf.Dataset(canvases, lambda canvas: {input_name: to_input(canvas)})
    # The element-wise arithmetic (the SiLU gates and the box decoding) stays in float, and so
    # does the convolution that takes a softmax's output (the expected distance of a box edge
    # from a distribution in [0, 1], where 8-bit steps move edges by pixels). The speed is in
    # the other convolutions, whose inputs and weights are quantised.
    ignored = nncf.IgnoredScope(names=softmax_consumers(model),
                                types=["Mul", "Sub", "Add", "Div", "Sigmoid", "Softmax"], validate=False)
    return nncf.quantize(model, dataset, preset=nncf.QuantizationPreset.MIXED, subset_size=len(canvases),
                         ignored_scope=ignored)


def onnxruntime_runner(model_bytes):
    import onnxruntime as ort

    options = ort.SessionOptions()
    options.log_severity_level = 3
    session = ort.InferenceSession(model_bytes, options, providers=["CPUExecutionProvider"])
    name = session.get_outputs()[0].name
    return lambda blob: session.run([name], blob)[0]


def openvino_runner(model_bytes):
    """The model on OpenVINO's CPU runtime in 32-bit floats, the engine's runtime and default
    arithmetic (INT8 layers run in INT8 either way)."""
    import openvino as ov

    core = ov.Core()
    compiled = core.compile_model(core.read_model(model_bytes), "CPU", {"INFERENCE_PRECISION_HINT": "f32"})
    request = compiled.create_infer_request()
    return lambda blob: request.infer(blob)[0].copy()


def agreement(float_run, int8_run, held, size, input_name, classes, args):
    """(agreement, matched, float boxes, INT8 boxes) over the held-out frames."""
    f = q = m = 0
    for image in held:
        canvas, geometry = letterbox(image, size)
        blob = {input_name: to_input(canvas)}
        a = decode(float_run(blob), classes, geometry, args.score, args.iou)
        b = decode(int8_run(blob), classes, geometry, args.score, args.iou)
        f, q, m = f + len(a), q + len(b), m + matched(a, b)
    if f == 0:
        raise Refusal(f"the float model finds no box at score {args.score} on the {len(held)} held-out frames: "
                      "the agreement cannot be measured; give frames with the objects it detects")
    return min(m / f, m / q if q else 0.0), m, f, q


def write_whole(data, out):
    """Writes `data` to `out` through a temporary file in the same folder, renamed at the end."""
    folder = os.path.dirname(os.path.abspath(out))
    fd, temp = tempfile.mkstemp(prefix="." + os.path.basename(out) + ".", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temp, 0o644)
        os.replace(temp, out)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise


def run(args):
    check_paths(args)
    model, input_name, size, classes = load_model(args.model)
    calib, held = read_frames(args.calibration, args.frames, args.held_out)
    print(f"{args.model}: input {size[0]}x{size[1]}; {len(calib)} calibration frames, {len(held)} held-out frames "
          f"from {args.calibration}", flush=True)
    canvases = [letterbox(image, size)[0] for image in calib]
    del calib

    quantized = quantize(model, input_name, canvases)
    del canvases
    quantized.ClearField("metadata_props")
    quantized.metadata_props.extend(model.metadata_props)
    data = quantized.SerializeToString()

    float_bytes = model.SerializeToString()
    # The check runs both models on the engine's own runtime, as the engine will run them;
    # onnxruntime's figure for the same INT8 model is printed beside it, for comparison.
    figures = {}
    for runtime, runner in (("OpenVINO", openvino_runner), ("onnxruntime", onnxruntime_runner)):
        value, m, f, q = agreement(runner(float_bytes), runner(data), held, size, input_name, classes, args)
        figures[runtime] = value
        print(f"agreement {value:.4f} on {runtime} on {len(held)} held-out frames at score {args.score} "
              f"(IoU >= {MATCH_IOU}): INT8 finds {m} of the float model's {f} boxes ({100 * m / f:.1f} %); "
              f"{m} of its {q} boxes are the float model's ({100 * m / q if q else 0:.1f} %)", flush=True)
    engine_agreement = figures["OpenVINO"]
    if engine_agreement < args.min_agreement:
        raise Refusal(f"agreement {engine_agreement:.4f} (OpenVINO, the engine's runtime) is below the floor --min-agreement {args.min_agreement}: "
                      f"{args.out} not written")
    write_whole(data, args.out)
    print(f"wrote {args.out} ({len(data)} bytes, QDQ INT8)")


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        run(args)
    except Refusal as why:
        print(f"quantize_model: {why}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"quantize_model: {error.filename or ''}: {error.strerror or error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
