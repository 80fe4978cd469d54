#!/usr/bin/env python3
"""Checks of tools/quantize_model.py on the real trained detector and OpenCV's pedestrian clip:
the INT8 model it writes is a QDQ model the engine loads and detects with; a floor above the
agreement reached, OUT equal to MODEL and unusable inputs are refused with nothing written.

    .deps/models/bin/python tools/test_quantize_model.py MODEL.onnx CLIP FRAME_BOXES [-k NAME...]

FRAME_BOXES is the engine on frames from standard input (tools/frame_boxes.cpp). Exits 77
(skipped), saying why, when the model, the clip or the model environment's nncf is missing.
"""
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quantize_model  # noqa: E402

TOOL = quantize_model.__file__
MODEL = CLIP = FRAME_BOXES = None


def quantize(*args):
    return subprocess.run([sys.executable, TOOL, *map(str, args)], capture_output=True, text=True, timeout=600)


def clip_length():
    import cv2

    capture = cv2.VideoCapture(CLIP)
    count = 0
    while capture.grab():
        count += 1
    return count


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def clip_frames(indices):
    import cv2

    capture = cv2.VideoCapture(CLIP)
    frames, index = [], 0
    while len(frames) < len(indices) and capture.grab():
        if index in indices:
            frames.append(capture.retrieve()[1])
        index += 1
    return frames


def engine_boxes(folder, model, frames):
    """The engine's boxes (class, x1, y1, x2, y2) per frame, at score 0.25."""
    stdin = b"".join(b"%d %d\n" % (f.shape[1], f.shape[0]) + f.tobytes() for f in frames)
    run = subprocess.run([FRAME_BOXES, folder, model, "classes.txt", "0.25", "0.5"], input=stdin,
                         capture_output=True, timeout=300)
    assert run.returncode == 0, f"the engine refused {model}: {run.stderr.decode()}"
    lines = [json.loads(line) for line in run.stdout.decode().splitlines() if line.startswith("{")]
    return [[(b[0], *b[2:6]) for b in line["boxes"]] for line in lines]


class QuantizeModelTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quantize-test-")
        self.model = os.path.join(self.dir, "model.onnx")
        shutil.copyfile(MODEL, self.model)
        self.model_digest = digest(self.model)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def assertNothingWritten(self, folder=None):
        folder = folder or self.dir
        self.assertEqual(sorted(os.listdir(folder)), sorted(self.before), "files appeared or went")
        self.assertEqual(digest(self.model), self.model_digest, "the input model changed")

    def test_writes_a_qdq_model_the_engine_detects_with(self):
        import onnx

        folder = os.path.join(self.dir, "int8")
        os.mkdir(folder)
        out = os.path.join(folder, "train_last.onnx")
        with open(out, "w") as f:
            f.write("an older model, replaced whole")
        run = quantize(self.model, CLIP, out, "--frames", 4, "--held-out", 4, "--min-agreement", 0)
        self.assertEqual(run.returncode, 0, run.stderr)
        for runtime in ("OpenVINO", "onnxruntime"):
            self.assertRegex(run.stdout, rf"agreement [01]\.\d{{4}} on {runtime} on 4 held-out frames at score 0.25 "
                                         r"\(IoU >= 0.9\): INT8 finds \d+ of the float model's [1-9]\d* boxes")
        self.assertEqual(os.listdir(folder), ["train_last.onnx"], "a temporary file was left")
        self.assertEqual(digest(self.model), self.model_digest, "the input model changed")
        written = onnx.load(out)
        ops = [n.op_type for n in written.graph.node]
        self.assertGreater(ops.count("QuantizeLinear"), 50)
        self.assertGreater(ops.count("DequantizeLinear"), 50)
        meta = {p.key: p.value for p in written.metadata_props}
        self.assertEqual(meta.get("names"), "{0: 'Normal', 1: 'Fall'}", "the export's metadata was not kept")

        # The engine loads it under a slot's name with no other change, and the agreement the
        # tool printed for OpenVINO is the one the engine gives on the same held-out frames.
        with open(os.path.join(folder, "classes.txt"), "w") as f:
            f.write("Normal\nFall\n")
        shutil.copyfile(self.model, os.path.join(folder, "float.onnx"))
        held = clip_frames(set(quantize_model.pick(clip_length(), 4, 4)[1]))
        int8 = engine_boxes(folder, "train_last", held)
        reference = engine_boxes(folder, "float", held)
        self.assertEqual(len(int8), 4)
        found = sum(quantize_model.matched(a, b) for a, b in zip(reference, int8))
        engine = min(found / sum(map(len, reference)), found / max(1, sum(map(len, int8))))
        printed = float(re.search(r"agreement (\S+) on OpenVINO", run.stdout).group(1))
        self.assertAlmostEqual(engine, printed, delta=0.1, msg=run.stdout)

    def test_refuses_below_the_floor_and_writes_nothing(self):
        import cv2
        import numpy as np

        # Calibration on flat grey pictures gives activation ranges far too narrow for the
        # real held-out frames: the agreement falls far below the default floor 0.97. With 2
        # calibration and 2 held-out frames the held-out ones are the 2nd and 4th by name.
        images = os.path.join(self.dir, "frames")
        os.mkdir(images)
        grey = np.full((576, 768, 3), 114, np.uint8)
        real = clip_frames({100, 500})
        for name, image in zip(["a.png", "b.png", "c.png", "d.png"], [grey, real[0], grey, real[1]]):
            cv2.imwrite(os.path.join(images, name), image)
        out = os.path.join(self.dir, "int8.onnx")
        self.before = os.listdir(self.dir)
        run = quantize(self.model, images, out, "--frames", 2, "--held-out", 2)
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertRegex(run.stderr, r"agreement 0\.\d{4} \(OpenVINO, the engine's runtime\) is below the floor --min-agreement 0.97: .*int8.onnx not written")
        self.assertNothingWritten()

    def test_refuses_unusable_arguments_before_quantising(self):
        out = os.path.join(self.dir, "out.onnx")
        broken = os.path.join(self.dir, "broken.onnx")
        with open(broken, "wb") as f:
            f.write(b"\x08\x07not a model at all")
        text = os.path.join(self.dir, "notes.txt")
        with open(text, "w") as f:
            f.write("not a clip")
        link = os.path.join(self.dir, "link.onnx")
        os.symlink(self.model, link)
        self.before = os.listdir(self.dir)
        cases = [  # (arguments, what the refusal says)
            ([self.model, CLIP, self.model], "OUT is the input model"),
            ([self.model, CLIP, os.path.join(self.dir, ".", "model.onnx")], "OUT is the input model"),
            ([self.model, CLIP, link], "OUT is the input model"),
            ([os.path.join(self.dir, "absent.onnx"), CLIP, out], "absent.onnx: no such model file"),
            ([broken, CLIP, out], "broken.onnx: not a readable ONNX model"),
            ([self.model, os.path.join(self.dir, "absent.avi"), out], "absent.avi: no such calibration clip or folder"),
            ([self.model, text, out], "notes.txt: cannot be read as a video"),
            ([self.model, CLIP, out, "--frames", 1000], "1000 calibration and 50 held-out frames need 1050"),
            ([self.model, self.dir, out, "--frames", 2, "--held-out", 1], "0 images; 2 calibration and 1 held-out"),
            ([self.model, CLIP, os.path.join(self.dir, "no-such-folder", "out.onnx")], "OUT's folder does not exist"),
        ]
        for args, message in cases:
            with self.subTest(args=args[1:]):
                run = quantize(*args)
                self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
                self.assertIn(message, run.stderr)
                self.assertNotIn("Traceback", run.stderr)
                self.assertNothingWritten()


def main():
    global MODEL, CLIP, FRAME_BOXES
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    MODEL, CLIP, FRAME_BOXES = sys.argv[1:4]
    for path in (MODEL, CLIP, FRAME_BOXES):
        if not os.path.exists(path):
            print(f"skipped: {path} is missing (scripts/install-deps.sh test installs it)")
            sys.exit(77)
    try:
        import nncf  # noqa: F401
    except ImportError:
        print(f"skipped: {sys.executable} has no nncf (scripts/install-deps.sh test installs it)")
        sys.exit(77)
    unittest.main(argv=sys.argv[:1] + sys.argv[4:], verbosity=2)  # the rest: unittest's own options


if __name__ == "__main__":
    main()
