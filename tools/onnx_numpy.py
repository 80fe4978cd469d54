"""A small ONNX interpreter in numpy, for checking exported detectors against their torch
modules where no ONNX runtime is installed (Debian's python3-onnx 1.12 has no reference
evaluator). It knows the operators that the detectors of tools/user_export_nets.py export
to, with their opset 13..17 forms, and stops on any other.

Half precision tensors stay half between operators, as a half precision runtime stores
them (convolutions multiply in float32 and round their results to half), unless asked to
widen them all to float32.
"""
import numpy as np
import onnx
from onnx import numpy_helper

from greedy_nms import greedy_nms  # noqa: F401 (tools/reference_decode.py uses it from here)


def _attrs(node):
    return {a.name: onnx.helper.get_attribute_value(a) for a in node.attribute}


def _conv(x, w, b, a):
    if a.get("group", 1) != 1 or any(d != 1 for d in a.get("dilations", [1, 1])):
        raise NotImplementedError("only plain convolutions")
    kh, kw = w.shape[2:]
    sh, sw = a.get("strides", [1, 1])
    t, l, bo, r = a.get("pads", [0, 0, 0, 0])
    xp = np.pad(x.astype(np.float32), ((0, 0), (0, 0), (t, bo), (l, r)))
    win = np.lib.stride_tricks.sliding_window_view(xp, (kh, kw), axis=(2, 3))[:, :, ::sh, ::sw]
    y = np.tensordot(win, w.astype(np.float32), axes=([1, 4, 5], [1, 2, 3])).transpose(0, 3, 1, 2)
    if b is not None:
        y = y + b.astype(np.float32).reshape(1, -1, 1, 1)
    return y.astype(x.dtype)


def _nms(boxes, scores, max_out=None, iou=None, threshold=None):
    max_out = int(max_out.reshape(-1)[0]) if max_out is not None and max_out.size else 0
    iou = float(iou.reshape(-1)[0]) if iou is not None and iou.size else 0.0
    rows = []
    for b in range(scores.shape[0]):
        for c in range(scores.shape[1]):
            s = scores[b, c].astype(np.float32)
            cand = np.nonzero(s > threshold.reshape(-1)[0])[0] if threshold is not None and threshold.size \
                else np.arange(len(s))
            kept = greedy_nms(boxes[b, cand], s[cand], iou)[:max_out]
            rows += [(b, c, int(cand[k])) for k in kept]
    return np.array(rows, np.int64).reshape(-1, 3)


def _resize(x, roi, scales, sizes, a):
    if a.get("mode", b"nearest") != b"nearest" or a.get("coordinate_transformation_mode") != b"asymmetric":
        raise NotImplementedError("only nearest, asymmetric resizing")
    out = sizes if sizes is not None and sizes.size else np.floor(np.array(x.shape) * scales).astype(int)
    for axis, n in enumerate(out):
        if n != x.shape[axis]:
            idx = np.minimum(np.floor(np.arange(n) * x.shape[axis] / n).astype(int), x.shape[axis] - 1)
            x = np.take(x, idx, axis=axis)
    return x


def _slice(x, starts, ends, axes=None, steps=None):
    axes = range(len(starts)) if axes is None else axes
    steps = [1] * len(starts) if steps is None else steps
    index = [slice(None)] * x.ndim
    for s, e, ax, st in zip(starts, ends, axes, steps):
        index[int(ax)] = slice(int(s), int(max(min(e, 2 ** 62), -2 ** 62)), int(st))
    return x[tuple(index)]


def _reshape(x, shape, a):
    shape = [x.shape[i] if d == 0 and not a.get("allowzero", 0) else int(d) for i, d in enumerate(shape)]
    return x.reshape(shape)


def _topk(x, k, a):
    k, axis = int(k.reshape(-1)[0]), a.get("axis", -1)
    key = -x.astype(np.float64) if a.get("largest", 1) else x.astype(np.float64)
    idx = np.take(np.argsort(key, axis=axis, kind="stable"), np.arange(k), axis=axis)
    return np.take_along_axis(x, idx, axis=axis), idx.astype(np.int64)


def _sigmoid(x):
    with np.errstate(over="ignore"):
        return (1 / (1 + np.exp(-x))).astype(x.dtype)


def _softmax(x, axis):
    e = np.exp(x - x.max(axis=axis, keepdims=True))
    return (e / e.sum(axis=axis, keepdims=True)).astype(x.dtype)


def _div(a, b):
    if np.issubdtype(a.dtype, np.integer):
        return (np.trunc(a / b)).astype(a.dtype)
    return (a / b).astype(np.result_type(a, b))


def _split(x, split, a, count):
    axis = a.get("axis", 0)
    sizes = split if split is not None else [x.shape[axis] // count] * count
    return tuple(np.split(x, np.cumsum(sizes)[:-1], axis=axis))


OPS = {
    "Identity": lambda a, x: x,
    "Add": lambda a, x, y: x + y,
    "Sub": lambda a, x, y: x - y,
    "Mul": lambda a, x, y: x * y,
    "Div": lambda a, x, y: _div(x, y),
    "Pow": lambda a, x, y: np.power(x, y).astype(x.dtype),
    "Equal": lambda a, x, y: x == y,
    "Greater": lambda a, x, y: x > y,
    "Where": lambda a, c, x, y: np.where(c, x, y),
    "Sigmoid": lambda a, x: _sigmoid(x),
    "Softmax": lambda a, x: _softmax(x, a.get("axis", -1)),
    "Concat": lambda a, *xs: np.concatenate(xs, axis=a["axis"]),
    "Transpose": lambda a, x: x.transpose(a.get("perm")),
    "Unsqueeze": lambda a, x, axes: np.expand_dims(x, tuple(int(v) % (x.ndim + len(axes)) for v in axes)),
    "Squeeze": lambda a, x, axes=None: np.squeeze(x, None if axes is None else tuple(int(v) for v in axes)),
    "Shape": lambda a, x: np.array(x.shape, np.int64),
    "Gather": lambda a, x, i: np.take(x, i, axis=a.get("axis", 0)),
    "GatherElements": lambda a, x, i: np.take_along_axis(x, i, axis=a.get("axis", 0)),
    "Expand": lambda a, x, s: np.broadcast_to(x, np.broadcast_shapes(x.shape, tuple(int(v) for v in s))).copy(),
    "Tile": lambda a, x, r: np.tile(x, tuple(int(v) for v in r)),
    "ConstantOfShape": lambda a, s: np.full(tuple(int(v) for v in s), numpy_helper.to_array(a["value"])[0]
                                            if "value" in a else np.float32(0)),
    "Range": lambda a, s, e, d: np.arange(s, e, d).astype(np.result_type(s, e, d)),
    "Cast": lambda a, x: x.astype(onnx.mapping.TENSOR_TYPE_TO_NP_TYPE[a["to"]]),
    "ArgMax": lambda a, x: (np.argmax(x, axis=a.get("axis", 0), keepdims=bool(a.get("keepdims", 1)))).astype(np.int64),
    "ReduceMax": lambda a, x: x.max(axis=tuple(a["axes"]) if "axes" in a else None,
                                    keepdims=bool(a.get("keepdims", 1))),
    "Slice": lambda a, x, *r: _slice(x, *r),
    "Reshape": lambda a, x, s: _reshape(x, s, a),
    "TopK": lambda a, x, k: _topk(x, k, a),
    "Conv": lambda a, x, w, b=None: _conv(x, w, b, a),
    "Resize": lambda a, x, roi=None, scales=None, sizes=None: _resize(x, roi, scales, sizes, a),
    "NonMaxSuppression": lambda a, *r: _nms(*r),
}


def run(model, feeds, float32=False):
    """Evaluates an onnx.ModelProto on a dict of input arrays; answers the outputs, in order.
    With float32, half precision tensors are widened as they appear, as runtimes that load
    half weights into single precision do."""
    graph = model.graph

    def store(v):
        v = np.asarray(v)
        return v.astype(np.float32) if float32 and v.dtype == np.float16 else v

    values = {i.name: store(numpy_helper.to_array(i)) for i in graph.initializer}
    values.update({k: store(v) for k, v in feeds.items()})
    for node in graph.node:
        a = _attrs(node)
        if node.op_type == "Constant":
            out = (numpy_helper.to_array(a["value"]),)
        elif node.op_type == "Split":
            split = values[node.input[1]] if len(node.input) > 1 and node.input[1] else a.get("split")
            out = _split(values[node.input[0]], split, a, len(node.output))
        elif node.op_type in OPS:
            args = [values[n] if n else None for n in node.input]
            while args and args[-1] is None:
                args.pop()
            out = OPS[node.op_type](a, *args)
            out = out if isinstance(out, tuple) else (out,)
        else:
            raise NotImplementedError(f"operator {node.op_type}")
        for name, v in zip(node.output, out):
            values[name] = store(v)
    return [values[o.name] for o in graph.output]
