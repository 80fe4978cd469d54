#!/usr/bin/python3
"""Writes the demo models: small fixed-weight convolutional detectors that find one
colour cue each (the demo scene draws weapons magenta and persons teal) and measure the
box of every cue region from its image moments, at three window sizes.

Outputs, into this folder:
  train_last.onnx + classes.names   weapon model, anchor-free layout [1, 4 + C, N]
  filter.onnx + filter.names        person model, anchor-free layout
With --variants DIR it also writes, for tests:
  objectness.onnx                   the weapon model in the objectness layout [1, N, 5 + C]
  broadcast.onnx                    the weapon model with broadcasting anchor constants,
                                    as common exports have them (needs fix_broadcast.py)
  constant_boxes.onnx               answers the same hand-placed boxes for every image, runs
                                    at any input size and declares 320
  dynamic.onnx                      the same with dynamic input axes
  nan_output.onnx, infinite_output.onnx
                                    the constant model answering NaN, or +infinity, for
                                    every value (a broken export)
  two_outputs.onnx                  the constant model with a second output, which no
                                    engine compiles

Needs Debian's python3-onnx and python3-numpy.
"""
import argparse
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

INPUT_SIZE = 640
POOL = 4  # the colour mask is averaged over 4 x 4 pixels before the moments
# (window in pixels, stride in pixels): anchors sit at the centres of stride cells.
LEVELS = [(64, 8), (128, 16), (256, 32)]
# Colour cues, RGB in [0, 1].
WEAPON_RGB = (1.0, 0.0, 1.0)
PERSON_RGB = (0.0, 0.55, 0.55)


class Graph:
    def __init__(self):
        self.nodes, self.inits, self.count = [], [], 0

    def name(self, prefix):
        self.count += 1
        return f"{prefix}_{self.count}"

    def const(self, array, prefix="c"):
        n = self.name(prefix)
        self.inits.append(numpy_helper.from_array(np.asarray(array, dtype=np.float32), n))
        return n

    def int_const(self, array):
        n = self.name("shape")
        self.inits.append(numpy_helper.from_array(np.asarray(array, dtype=np.int64), n))
        return n

    def op(self, op_type, inputs, **attrs):
        out = self.name(op_type.lower())
        self.nodes.append(helper.make_node(op_type, inputs, [out], **attrs))
        return out

    def conv(self, x, weight, bias=None, stride=1, pad=0):
        inputs = [x, self.const(weight, "w")]
        if bias is not None:
            inputs.append(self.const(bias, "b"))
        k = weight.shape[-1]
        return self.op("Conv", inputs, kernel_shape=[k, k], strides=[stride, stride],
                       pads=[pad] * 4)

    def scale(self, x, s):
        return self.op("Mul", [x, self.const(np.array(s))])

    def shift(self, x, s):
        return self.op("Add", [x, self.const(np.array(s))])

    def clip01(self, x):
        # min(max(x, 0), 1) from operations every runtime has.
        r = self.op("Relu", [x])
        return self.op("Sub", [r, self.op("Relu", [self.shift(r, -1.0)])])


def colour_mask(g, x, rgb):
    """1 where a pixel has the cue colour, 0 where it is far from it."""
    w1 = np.zeros((6, 3, 1, 1), np.float32)
    b1 = np.zeros(6, np.float32)
    for c in range(3):
        w1[2 * c, c], b1[2 * c] = 1.0, -rgb[c]
        w1[2 * c + 1, c], b1[2 * c + 1] = -1.0, rgb[c]
    distance = g.op("Relu", [g.conv(x, w1, b1)])  # |channel - target| as two halves
    w2 = np.full((1, 6, 1, 1), -4.0, np.float32)
    mask = g.conv(distance, w2, np.array([1.6], np.float32))
    return g.clip01(mask)


def level_outputs(g, pooled, window, stride, broadcast_anchors):
    k = window // POOL
    s = stride // POOL
    pad = k // 2 - s // 2
    grid = INPUT_SIZE // stride
    # Offsets of the pooled cells from the window centre, in input pixels.
    offsets = (np.arange(k, dtype=np.float32) + 0.5 - k / 2) * POOL
    u = np.tile(offsets[None, :], (k, 1))
    v = u.T

    def moment(kernel):
        return g.conv(pooled, kernel.reshape(1, 1, k, k).astype(np.float32), stride=s, pad=pad)

    m0 = g.shift(moment(np.ones((k, k))), 1e-3)
    dx = g.op("Div", [moment(u), m0])
    dy = g.op("Div", [moment(v), m0])
    var_x = g.op("Sub", [g.op("Div", [moment(u * u), m0]), g.op("Mul", [dx, dx])])
    var_y = g.op("Sub", [g.op("Div", [moment(v * v), m0]), g.op("Mul", [dy, dy])])
    # A uniform region of width w has variance w^2 / 12.
    width = g.op("Sqrt", [g.shift(g.scale(g.op("Relu", [var_x]), 12.0), 1e-6)])
    height = g.op("Sqrt", [g.shift(g.scale(g.op("Relu", [var_y]), 12.0), 1e-6)])

    centres = (np.arange(grid, dtype=np.float32) + 0.5) * stride
    if broadcast_anchors:
        ax = g.const(centres.reshape(grid), "anchor_x")
        ay = g.const(centres.reshape(grid, 1), "anchor_y")
    else:
        ax = g.const(np.tile(centres[None, :], (grid, 1)).reshape(1, 1, grid, grid), "anchor_x")
        ay = g.const(np.tile(centres[:, None], (1, grid)).reshape(1, 1, grid, grid), "anchor_y")
    cx = g.op("Add", [dx, ax])
    cy = g.op("Add", [dy, ay])

    # Confidence: the region lies wholly inside the window, and is large enough.
    def contained(d, size):
        abs_d = g.op("Add", [g.op("Relu", [d]), g.op("Relu", [g.scale(d, -1.0)])])
        room = g.op("Sub", [g.shift(g.scale(abs_d, -1.0), window / 2), g.scale(size, 0.5)])
        return g.clip01(g.scale(room, 8.0 / window))

    area = g.scale(m0, POOL * POOL)
    present = g.clip01(g.scale(g.shift(area, -60.0), 1.0 / 200.0))
    conf = g.op("Mul", [g.op("Mul", [contained(dx, width), contained(dy, height)]), present])
    conf = g.scale(conf, 0.98)

    stacked = g.op("Concat", [cx, cy, width, height, conf], axis=1)
    return g.op("Reshape", [stacked, g.int_const([1, 5, grid * grid])])


def build(rgb, layout="anchor_free", broadcast_anchors=False):
    g = Graph()
    mask = colour_mask(g, "images", rgb)
    pooled = mask
    for _ in range(POOL // 2):
        pooled = g.op("AveragePool", [pooled], kernel_shape=[2, 2], strides=[2, 2])
    levels = [level_outputs(g, pooled, w, s, broadcast_anchors) for w, s in LEVELS]
    out = g.op("Concat", levels, axis=2)  # [1, 4 + 1, N]
    n = sum((INPUT_SIZE // s) ** 2 for _, s in LEVELS)
    if broadcast_anchors:
        # Exports scale their boxes by a per-anchor stride row [1, N]; this one is 1.
        out = g.op("Mul", [out, g.const(np.ones((1, n)), "strides")])
    if layout == "objectness":
        # [cx, cy, w, h, objectness, class score] per row; the one class always scores 1.
        conf = g.op("Slice", [out, g.int_const([4]), g.int_const([5]), g.int_const([1])])
        ones = g.shift(g.scale(conf, 0.0), 1.0)
        out = g.op("Transpose", [g.op("Concat", [out, ones], axis=1)], perm=[0, 2, 1])
        shape = [1, n, 6]
    else:
        shape = [1, 5, n]
    last = g.nodes[-1]
    last.output[0] = "output0"
    graph = helper.make_graph(
        g.nodes, "colour_cue_detector",
        [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, INPUT_SIZE, INPUT_SIZE])],
        [helper.make_tensor_value_info("output0", TensorProto.FLOAT, shape)], g.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 12)],
                              producer_name="demo-model-generator")
    model.ir_version = 7
    onnx.checker.check_model(model)
    return model


# Hand-placed anchor-free rows (cx, cy, w, h, score) in input pixels, for the suppression
# tests: pairs of 10 x 10 boxes whose overlap falls on the other side of IoU 0.5 once
# their edges are rounded to whole pixels.
CONSTANT_BOXES = [
    (15.6, 15.0, 10.0, 10.0, 0.9),   # x 10.6..20.6 rounds to 11..21
    (19.0, 15.0, 10.0, 10.0, 0.8),   # x 14.0..24.0: IoU 0.49 exact, 0.54 rounded
    (105.4, 55.0, 10.0, 10.0, 0.9),  # x 100.4..110.4 rounds to 100..110
    (108.6, 55.0, 10.0, 10.0, 0.8),  # x 103.6..113.6 rounds to 104..114: 0.52 exact, 0.43 rounded
]


def build_constant(dims, fill=None, second_output=False):
    """Answers CONSTANT_BOXES whatever the image (every value `fill` instead when given); the
    image still feeds the graph (times zero), so that runtimes keep the input. With
    `second_output`, the pooled image is an output too."""
    g = Graph()
    n = len(CONSTANT_BOXES)
    rows = np.array(CONSTANT_BOXES, dtype=np.float32).T.reshape(5 * n)
    if fill is not None:
        rows = np.full(5 * n, fill, dtype=np.float32)
    pooled = g.op("Reshape", [g.op("GlobalAveragePool", ["images"]), g.int_const([1, 3])])
    flat = g.op("Gemm", [pooled, g.const(np.zeros((5 * n, 3))), g.const(rows, "boxes")], transB=1)
    g.op("Reshape", [flat, g.int_const([1, 5, n])])
    g.nodes[-1].output[0] = "output0"
    outputs = [helper.make_tensor_value_info("output0", TensorProto.FLOAT, [1, 5, len(CONSTANT_BOXES)])]
    if second_output:
        outputs.append(helper.make_tensor_value_info(pooled, TensorProto.FLOAT, [1, 3]))
    graph = helper.make_graph(
        g.nodes, "constant_boxes",
        [helper.make_tensor_value_info("images", TensorProto.FLOAT, dims)],
        outputs,
        g.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 12)],
                              producer_name="demo-model-generator")
    model.ir_version = 7
    onnx.checker.check_model(model)
    return model


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", default=os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--variants", help="also write the test variants into this folder")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    onnx.save(build(WEAPON_RGB), os.path.join(args.out, "train_last.onnx"))
    with open(os.path.join(args.out, "classes.names"), "w") as f:
        f.write("handgun\n")
    onnx.save(build(PERSON_RGB), os.path.join(args.out, "filter.onnx"))
    with open(os.path.join(args.out, "filter.names"), "w") as f:
        f.write("person\n")
    if args.variants:
        os.makedirs(args.variants, exist_ok=True)
        onnx.save(build(WEAPON_RGB, "objectness"), os.path.join(args.variants, "objectness.onnx"))
        onnx.save(build(WEAPON_RGB, broadcast_anchors=True), os.path.join(args.variants, "broadcast.onnx"))
        onnx.save(build_constant([1, 3, 320, 320]), os.path.join(args.variants, "constant_boxes.onnx"))
        onnx.save(build_constant(["batch", 3, "height", "width"]), os.path.join(args.variants, "dynamic.onnx"))
        fixed = [1, 3, 320, 320]
        onnx.save(build_constant(fixed, fill=np.nan), os.path.join(args.variants, "nan_output.onnx"))
        onnx.save(build_constant(fixed, fill=np.inf), os.path.join(args.variants, "infinite_output.onnx"))
        onnx.save(build_constant(fixed, second_output=True), os.path.join(args.variants, "two_outputs.onnx"))


if __name__ == "__main__":
    main()
