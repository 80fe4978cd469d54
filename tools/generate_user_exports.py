#!/usr/bin/python3
"""Writes small detectors exported the way the training tools export by default, so that
the engine can be tested on the graphs users bring:

    torch.onnx.export(model, images, path, opset_version=17, do_constant_folding=True,
                      input_names=["images"], output_names=["output0"])

with no rewriting afterwards. Into OUT go one .onnx per variant (tools/user_export_nets.py
lists them and builds their networks), three models no engine can use (two_inputs and
odd_output fit no layout, custom_op has an operator of its own domain), the class files classes_1.names, classes_3.names and classes_1000.names,
canvas.ppm (the 640 x 640 RGB texture the scores were tuned on: letterboxed to a variant's
input, it gives about 50 candidates at score 0.25 or more before suppression) and
manifest.json, which describes each model:

    name, file, classes, class_count, family (objectness | anchor_free |
    anchor_free_transposed | end_to_end), input_width, input_height, input_type (f32 | f16),
    dynamic (none | batch | all), opset, valid, note

The weights are fixed functions of the variant names, so every run writes the same models,
and tools/reference_decode.py rebuilds them to compute what they should detect.

Departures from a real export, each forced by what runs here:
  * half precision: torch cannot run a half convolution on the CPU, so those variants are
    exported in float32 from weights already rounded to half, and every float tensor of the
    graph is then turned into float16 (Resize scales stay float32, as ONNX requires);
  * end_to_end_nms: the network is exported with two outputs (corner boxes [1, N, 4], scores
    [1, C, N]) and the ONNX NonMaxSuppression tail is appended with onnx.helper.

Needs Debian's python3-torch, python3-onnx and python3-numpy:
    /usr/bin/python3 tools/generate_user_exports.py OUT
"""
import json
import os
import sys
import time

import numpy as np
import onnx
import torch
from onnx import TensorProto, helper, numpy_helper
from torch import nn

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import user_export_nets as nets  # noqa: E402

OPSET = 17
IMGSZ_METADATA = "[640, 640]"

NOTES = {
    "objectness_640": "objectness head, 3 anchors per level, static 640",
    "anchor_free_640": "anchor-free head with distance bins, static 640",
    "anchor_free_640_transposed": "anchor-free output transposed to [1, N, 4 + C]",
    "objectness_split_sizes": "torch.split with unequal sizes in the blocks ([4, 12] ...) and the head ([2, 2, 1, 1])",
    "objectness_dynamic": "batch, height and width dynamic; grids computed from the feature map shapes; imgsz in metadata",
    "anchor_free_dynamic": "batch, height and width dynamic; anchors computed from the feature map shapes; imgsz in metadata",
    "anchor_free_batch_dynamic": "batch axis dynamic only",
    "objectness_fp16": "float16 weights, input and output (float32 export turned to float16)",
    "anchor_free_fp16": "float16 weights, input and output (float32 export turned to float16)",
    "anchor_free_640x384": "non-square static input, height 384, width 640",
    "anchor_free_1000_classes": "1000 classes",
    "objectness_1000_classes": "1000 classes",
    "end_to_end_topk": f"rows x1, y1, x2, y2, score, class in input pixels: class maximum then TopK {nets.TOPK_ROWS}, no NMS needed",
    "end_to_end_nms": (f"ONNX NonMaxSuppression (IoU {nets.NMS_IOU}, score > {nets.NMS_SCORE}, {nets.NMS_ROWS} per class), "
                       f"then the best {nets.NMS_ROWS} rows x1, y1, x2, y2, score, class; the output stays "
                       f"[1, {nets.NMS_ROWS}, 6] and unused rows are all zeros"),
    "two_inputs": "two image inputs: fits no single-input engine",
    "odd_output": "output [1, 7, 3, 9]: fits no layout",
    "custom_op": "one node of a custom operator domain: no runtime can convert it",
}


def family_of(s):
    if s["head"] in ("topk", "nms"):
        return "end_to_end"
    if s["family"] == "anchor_free" and s["head"] == "transposed":
        return "anchor_free_transposed"
    return s["family"]


def dynamic_axes(s):
    if s["dynamic"] == "none":
        return None
    anchors = 1 if s["family"] == "objectness" or s["head"] == "transposed" else 2
    if s["dynamic"] == "batch":
        return {"images": {0: "batch"}, "output0": {0: "batch"}}
    return {"images": {0: "batch", 2: "height", 3: "width"}, "output0": {0: "batch", anchors: "anchors"}}


def to_half(model):
    """Turns every float32 tensor of the graph into float16, except the Resize inputs that
    ONNX keeps float32 (roi, scales)."""
    graph = model.graph
    keep = set()
    for node in graph.node:
        if node.op_type == "Resize":
            keep.update(node.input[1:3])

    keep.discard("")  # an input left out

    def convert(tensor):
        if tensor.data_type == TensorProto.FLOAT:
            array = numpy_helper.to_array(tensor).astype(np.float16)
            tensor.CopyFrom(numpy_helper.from_array(array, tensor.name))

    for init in graph.initializer:
        if init.name not in keep:
            convert(init)
    for node in graph.node:
        for attr in node.attribute:
            if attr.type == onnx.AttributeProto.TENSOR and not (node.op_type == "Constant" and node.output[0] in keep):
                convert(attr.t)
            if node.op_type == "Cast" and attr.name == "to" and attr.i == TensorProto.FLOAT:
                attr.i = TensorProto.FLOAT16
    for value in list(graph.input) + list(graph.output):
        if value.type.tensor_type.elem_type == TensorProto.FLOAT:
            value.type.tensor_type.elem_type = TensorProto.FLOAT16
    del graph.value_info[:]


def append_nms(model, classes, anchors):
    """Replaces the outputs boxes [1, N, 4] and scores [1, C, N] by output0 [1, K, 6]: ONNX
    NonMaxSuppression, the selected rows in descending score, padded with zero rows to K.
    A class mask (all classes on) drops rows of classes turned off, as export wrappers do."""
    k = nets.NMS_ROWS
    graph = model.graph
    del graph.output[:]

    def const(name, array):
        graph.initializer.append(numpy_helper.from_array(np.asarray(array), name))
        return name

    nodes = [
        helper.make_node("NonMaxSuppression",
                         ["boxes", "scores", const("nms_max_per_class", np.array([k], np.int64)),
                          const("nms_iou", np.array([nets.NMS_IOU], np.float32)),
                          const("nms_score", np.array([nets.NMS_SCORE], np.float32))],
                         ["selected"], center_point_box=0),
        helper.make_node("Gather", ["selected", const("col_class", np.array(1, np.int64))], ["sel_class"], axis=1),
        helper.make_node("Gather", ["selected", const("col_box", np.array(2, np.int64))], ["sel_box"], axis=1),
        helper.make_node("Squeeze", ["boxes", const("axis0", np.array([0], np.int64))], ["boxes0"]),
        helper.make_node("Gather", ["boxes0", "sel_box"], ["sel_corners"], axis=0),
        helper.make_node("Reshape", ["scores", const("flat", np.array([-1], np.int64))], ["scores_flat"]),
        helper.make_node("Mul", ["sel_class", const("anchors", np.array(anchors, np.int64))], ["class_offset"]),
        helper.make_node("Add", ["class_offset", "sel_box"], ["flat_index"]),
        helper.make_node("Gather", ["scores_flat", "flat_index"], ["sel_score_raw"], axis=0),
        helper.make_node("Gather", [const("class_enabled", np.ones(classes, bool)), "sel_class"], ["sel_enabled"], axis=0),
        helper.make_node("Where", ["sel_enabled", "sel_score_raw", const("minus_one", np.array(-1.0, np.float32))],
                         ["sel_score"]),
        helper.make_node("Cast", ["sel_class"], ["sel_class_f"], to=TensorProto.FLOAT),
        helper.make_node("Unsqueeze", ["sel_score", const("axis1", np.array([1], np.int64))], ["score_col"]),
        helper.make_node("Unsqueeze", ["sel_class_f", "axis1"], ["class_col"]),
        helper.make_node("Concat", ["sel_corners", "score_col", "class_col"], ["rows"], axis=1),
        helper.make_node("Concat", ["rows", const("pad_rows", np.zeros((k, 6), np.float32))], ["rows_padded"], axis=0),
        helper.make_node("Concat", ["sel_score", const("pad_scores", np.full(k, -1.0, np.float32))],
                         ["scores_padded"], axis=0),
        helper.make_node("TopK", ["scores_padded", const("k", np.array([k], np.int64))], ["top_score", "top_index"],
                         axis=0, largest=1, sorted=1),
        helper.make_node("Gather", ["rows_padded", "top_index"], ["top_rows"], axis=0),
        helper.make_node("Greater", ["top_score", const("zero", np.array(0.0, np.float32))], ["top_valid"]),
        helper.make_node("Unsqueeze", ["top_valid", "axis1"], ["top_valid_col"]),
        helper.make_node("Where", ["top_valid_col", "top_rows", "zero"], ["rows_out"]),
        helper.make_node("Unsqueeze", ["rows_out", "axis0"], ["output0"]),
    ]
    graph.node.extend(nodes)
    graph.output.append(helper.make_tensor_value_info("output0", TensorProto.FLOAT, [1, k, 6]))


class TwoInputs(nn.Module):
    def __init__(self):
        super().__init__()
        self.a, self.b = nn.Conv2d(3, 5, 8, 8), nn.Conv2d(3, 5, 8, 8)

    def forward(self, images, images2):
        y = self.a(images) + self.b(images2)
        return y.flatten(2).sigmoid()  # [1, 5, 6400]


class OddOutput(nn.Module):
    def __init__(self):
        super().__init__()
        self.a = nn.Conv2d(3, 7, 8, 8)

    def forward(self, images):
        return self.a(images)[:, :, :3, :9].sigmoid()  # [1, 7, 3, 9]


def export(model, args, path, input_names, output_names, axes=None):
    with torch.no_grad():
        torch.onnx.export(model, args, path, opset_version=OPSET, do_constant_folding=True,
                          input_names=input_names, output_names=output_names, dynamic_axes=axes)


def candidates(model, s):
    """Candidates at score 0.25 or more, before suppression, on the sample canvas."""
    canvas = nets.letterbox(nets.sample_canvas(), s["height"], s["width"])[0]
    with torch.no_grad():
        y = model(nets.to_input(canvas, s["fp16"]))
    if s["head"] == "nms":
        return int((y[1][0].max(0).values >= nets.SCORE_LEVEL).sum())
    y = y[0]
    if s["family"] == "objectness":
        score = y[:, 4] * y[:, 5:].max(1).values
    elif s["head"] == "channels":
        score = y[4:].max(0).values
    elif s["head"] == "transposed":
        score = y[:, 4:].max(1).values
    else:
        score = y[:, 4]
    return int((score >= nets.SCORE_LEVEL).sum())


def write_variant(out, name):
    s = nets.variant_settings(name)
    model = nets.build(name)
    path = os.path.join(out, name + ".onnx")
    images = torch.zeros(1, 3, s["height"], s["width"])
    outputs = ["boxes", "scores"] if s["head"] == "nms" else ["output0"]
    export(model, images, path, ["images"], outputs, dynamic_axes(s))
    onnx_model = onnx.load(path)
    if s["head"] == "nms":
        anchors = sum((s["height"] // st) * (s["width"] // st) for st in nets.STRIDES)
        append_nms(onnx_model, s["classes"], anchors)
    if s["fp16"]:
        to_half(onnx_model)
    if s["dynamic"] == "all":
        entry = onnx_model.metadata_props.add()
        entry.key, entry.value = "imgsz", IMGSZ_METADATA
    onnx.checker.check_model(onnx_model)
    onnx.shape_inference.infer_shapes(onnx_model, strict_mode=True)
    onnx.save(onnx_model, path)
    count = candidates(model, s)
    return dict(name=name, file=name + ".onnx", classes=f"classes_{s['classes']}.names",
                class_count=s["classes"], family=family_of(s), input_width=s["width"], input_height=s["height"],
                input_type="f16" if s["fp16"] else "f32", dynamic=s["dynamic"], opset=OPSET, valid=True,
                note=NOTES[name]), count


def write_bad(out):
    entries = []
    torch.manual_seed(99)
    image = torch.zeros(1, 3, 640, 640)
    export(TwoInputs().eval(), (image, image), os.path.join(out, "two_inputs.onnx"),
           ["images", "images2"], ["output0"])
    export(OddOutput().eval(), image, os.path.join(out, "odd_output.onnx"), ["images"], ["output0"])
    # A graph with an operator of its own domain, as exports with custom layers come out.
    graph = onnx.helper.make_graph(
        [onnx.helper.make_node("FancyHead", ["images"], ["output0"], domain="com.example", name="fancy_head")],
        "custom_op", [onnx.helper.make_tensor_value_info("images", onnx.TensorProto.FLOAT, [1, 3, 640, 640])],
        [onnx.helper.make_tensor_value_info("output0", onnx.TensorProto.FLOAT, [1, 5, 8400])])
    onnx.save(onnx.helper.make_model(graph, opset_imports=[onnx.helper.make_opsetid("", OPSET),
                                                           onnx.helper.make_opsetid("com.example", 1)]),
              os.path.join(out, "custom_op.onnx"))
    for name in ("two_inputs", "odd_output", "custom_op"):
        entries.append(dict(name=name, file=name + ".onnx", classes="classes_1.names", class_count=1,
                            family="anchor_free", input_width=640, input_height=640, input_type="f32",
                            dynamic="none", opset=OPSET, valid=False, note=NOTES[name]))
    return entries


def write_ppm(path, rgb):
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (rgb.shape[1], rgb.shape[0]))
        f.write(np.ascontiguousarray(rgb, np.uint8).tobytes())


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    torch.set_num_threads(1)
    start = time.time()
    manifest = []
    for name in nets.VARIANTS:
        entry, count = write_variant(out, name)
        manifest.append(entry)
        size = os.path.getsize(os.path.join(out, entry["file"]))
        print(f"{entry['file']}: {size / 1e6:.2f} MB, {count} candidates on canvas.ppm", flush=True)
    manifest += write_bad(out)
    with open(os.path.join(out, "classes_1.names"), "w") as f:
        f.write("weapon\n")
    with open(os.path.join(out, "classes_3.names"), "w") as f:
        f.write("weapon\nperson\nbag\n")
    with open(os.path.join(out, "classes_1000.names"), "w") as f:
        f.write("".join(f"class_{i:03d}\n" for i in range(1000)))
    write_ppm(os.path.join(out, "canvas.ppm"), nets.sample_canvas())
    with open(os.path.join(out, "manifest.json"), "w") as f:
        json.dump(manifest, f, indent=1)
        f.write("\n")
    print(f"{len(manifest)} models in {time.time() - start:.1f} s")


if __name__ == "__main__":
    main()
