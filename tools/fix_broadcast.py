#!/usr/bin/python3
"""Rewrites the broadcasting constants of an ONNX model so that OpenCV 4.6 can run it.

Only the OpenCV reference backend needs this; the default OpenVINO backend runs such
exports as they are.

Anchor-free detector exports scale and shift their boxes by constants that broadcast
against the box tensor, such as a stride row of shape [1, N] multiplied into a
[1, 4, N] tensor. OpenCV 4.6 fails on such element-wise operations with a constant of
another shape. This script expands every such constant of Add, Sub, Mul and Div to the
full static shape of the other input, which changes no result.

The model needs static shapes (export with a fixed input size and without dynamic axes).
When there is nothing to expand, nothing is written and the exit status is 3: the graph's
trouble with OpenCV, if any, has another cause.

    /usr/bin/python3 tools/fix_broadcast.py model.onnx fixed.onnx

Needs Debian's python3-onnx and python3-numpy.
"""
import argparse
import sys

import numpy as np
import onnx
from onnx import numpy_helper, shape_inference

ELEMENTWISE = {"Add", "Sub", "Mul", "Div"}


def static_shapes(model):
    inferred = shape_inference.infer_shapes(model)
    shapes = {}
    for info in list(inferred.graph.value_info) + list(inferred.graph.input) + list(inferred.graph.output):
        dims = info.type.tensor_type.shape.dim
        if dims and all(d.HasField("dim_value") for d in dims):
            shapes[info.name] = tuple(d.dim_value for d in dims)
    return shapes


def fix(model):
    shapes = static_shapes(model)
    inits = {init.name: init for init in model.graph.initializer}
    uses = {}
    for node in model.graph.node:
        for name in node.input:
            uses[name] = uses.get(name, 0) + 1
    rewritten = 0
    for node in model.graph.node:
        if node.op_type not in ELEMENTWISE or len(node.input) != 2:
            continue
        for const_index in (0, 1):
            const_name, other = node.input[const_index], node.input[1 - const_index]
            if const_name not in inits or other not in shapes:
                continue
            value = numpy_helper.to_array(inits[const_name])
            target = shapes[other]
            if value.size == 1 or value.shape == target:
                continue
            try:
                if np.broadcast_shapes(value.shape, target) != target:
                    continue
            except ValueError:
                continue
            expanded = np.ascontiguousarray(np.broadcast_to(value, target))
            new_name = const_name
            if uses.get(const_name, 0) > 1:  # shared with another node: give this one a copy
                new_name = f"{const_name}_expanded_{rewritten}"
                node.input[const_index] = new_name
                model.graph.initializer.append(numpy_helper.from_array(expanded, new_name))
            else:
                inits[const_name].CopyFrom(numpy_helper.from_array(expanded, const_name))
            rewritten += 1
    return rewritten


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("input")
    parser.add_argument("output")
    args = parser.parse_args()
    try:
        model = onnx.load(args.input)
    except Exception as error:  # onnx raises several unrelated types for a bad file
        print(f"fix_broadcast: cannot read {args.input}: {error}", file=sys.stderr)
        return 1
    count = fix(model)
    if count == 0:
        print(f"fix_broadcast: {args.input} has no broadcasting constant to expand; nothing written "
              "(the default OpenVINO backend runs exports as they are)", file=sys.stderr)
        return 3
    onnx.checker.check_model(model)
    onnx.save(model, args.output)
    print(f"fix_broadcast: expanded {count} broadcasting constant(s); wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
