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

Beside them, the exports of the other tasks and exports whose metadata disagrees with the
rest, listed in tasks.json (written last) as name, file, task, classes, note; each carries
the metadata the training tools write into every export (metadata_props: description,
stride, task, batch, imgsz, names as a Python dict, kpt_shape for pose):
  pose_640, segment_640, obb_640   the network of anchor_free_640 with the head of the task
                                   (tools/user_export_nets.py TaskHead): its boxes and class
                                   scores come first and are those of anchor_free_640;
  pose_640_no_metadata            pose_640 without any metadata;
  classify_224                    a classifier, output [1, 2];
  detect_640_*                    anchor_free_640 with metadata: agreeing, and with names,
                                  imgsz or stride that disagree with the class file or graph;
  brightness_64                   a hand-made [1, 5, 4] detector at 64 x 64 whose four boxes
                                  all score twice the mean input value: within [0, 1] on the
                                  grey warm-up canvas (0.89) and dark images, 2 on white ones;
and the class file classes_9.names.

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


def set_metadata(model, entries):
    del model.metadata_props[:]
    for key, value in entries.items():
        entry = model.metadata_props.add()
        entry.key, entry.value = key, str(value)


def export_metadata(task, names, imgsz=(640, 640), stride=32, kpt_shape=None):
    """The metadata the training tools write into an export."""
    meta = dict(description=f"small {task} test export", author="tools/generate_user_exports.py",
                stride=stride, task=task, batch=1, imgsz=list(imgsz), names=dict(enumerate(names)))
    if kpt_shape:
        meta["kpt_shape"] = list(kpt_shape)
    return meta


def write_tasks(out):
    """The task exports and the metadata variants (see the module note); answers tasks.json."""
    entries = []

    def save(model, name, meta, task, classes, note):
        if meta is not None:
            set_metadata(model, meta)
        onnx.checker.check_model(model)
        onnx.save(model, os.path.join(out, name + ".onnx"))
        entries.append(dict(name=name, file=name + ".onnx", task=task, classes=classes, note=note))

    image = torch.zeros(1, 3, 640, 640)
    for task in ("pose", "segment", "obb"):
        path = os.path.join(out, f"{task}_640.onnx")
        outputs = ["output0", "output1"] if task == "segment" else ["output0"]
        export(nets.TaskHead(task), image, path, ["images"], outputs)
        model = onnx.load(path)
        names = ["person"] if task == "pose" else ["weapon"]
        meta = export_metadata(task, names, kpt_shape=nets.KEYPOINTS if task == "pose" else None)
        save(model, f"{task}_640", meta, task, "classes_1.names", f"{task} head on anchor_free_640")
        if task == "pose":
            save(model, "pose_640_no_metadata", {}, "pose", "classes_1.names", "pose_640 without metadata")
    path = os.path.join(out, "classify_224.onnx")
    export(nets.Classifier(2), torch.zeros(1, 3, 224, 224), path, ["images"], ["output0"])
    save(onnx.load(path), "classify_224", export_metadata("classify", ["weapon", "none"], (224, 224), 1),
         "classify", "classes_1.names", "a classifier, output [1, 2]")
    detect = onnx.load(os.path.join(out, "anchor_free_640.onnx"))
    for name, meta in [
        ("detect_640_metadata", export_metadata("detect", ["weapon"])),
        ("detect_640_names_mismatch", export_metadata("detect", ["person", "fall"])),
        ("detect_640_imgsz_mismatch", export_metadata("detect", ["weapon"], imgsz=(320, 320))),
        ("detect_640_stride_mismatch", export_metadata("detect", ["weapon"], stride=96)),
    ]:
        save(detect, name, meta, "detect", "classes_1.names", "anchor_free_640 with this metadata")
    # Score = 2 x the mean of the input (scaled to [0, 1]) at four fixed boxes.
    boxes = np.array([[[16, 48, 16, 48], [16, 16, 48, 48], [8, 8, 8, 8], [8, 8, 8, 8]]], np.float32)
    graph = helper.make_graph(
        [helper.make_node("ReduceMean", ["images"], ["mean"], axes=[1, 2, 3], keepdims=1),
         helper.make_node("Reshape", ["mean", "row_shape"], ["mean_row"]),
         helper.make_node("Mul", ["mean_row", "twos"], ["scores"]),
         helper.make_node("Concat", ["boxes", "scores"], ["output0"], axis=1)],
        "brightness_64", [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, 64, 64])],
        [helper.make_tensor_value_info("output0", TensorProto.FLOAT, [1, 5, 4])],
        [numpy_helper.from_array(np.array([1, 1, 1], np.int64), "row_shape"),
         numpy_helper.from_array(np.full((1, 1, 4), 2.0, np.float32), "twos"),
         numpy_helper.from_array(boxes, "boxes")])
    save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]), "brightness_64",
         export_metadata("detect", ["weapon"], (64, 64)), "detect", "classes_1.names",
         "scores twice the mean input value")
    with open(os.path.join(out, "classes_9.names"), "w") as f:
        f.write("".join(f"class_{i}\n" for i in range(9)))
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
    tasks = write_tasks(out)
    with open(os.path.join(out, "tasks.json"), "w") as f:
        json.dump(tasks, f, indent=1)
        f.write("\n")
    print(f"{len(manifest) + len(tasks)} models in {time.time() - start:.1f} s")


if __name__ == "__main__":
    main()
