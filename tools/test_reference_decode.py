#!/usr/bin/python3
"""Checks of the decoding in tools/reference_decode.py on hand-made network outputs, so that
the reference the engine is compared with is itself known to follow the training tools'
rules (score, threshold, per-class suppression, mapping back and clipping).

    /usr/bin/python3 tools/test_reference_decode.py
"""
import os
import sys
import tempfile
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reference_decode as ref  # noqa: E402
import user_export_nets as nets  # noqa: E402

JOB = dict(scale=1.0, pad_x=0, pad_y=0, image_width=640, image_height=640, min_score=0.25, iou=0.5)


def anchor_free(rows):
    """[N, 4 + C] rows (cx, cy, w, h, scores...) to the [4 + C, N] output of one image."""
    return np.asarray(rows, np.float32).T


def decode(family, output, **job):
    return ref.decode({"family": family}, np.asarray(output, np.float32), {**JOB, **job})


def boxes(results):
    return [(r["class"], round(r["x1"], 4), round(r["y1"], 4), round(r["x2"], 4), round(r["y2"], 4))
            for r in results]


class DecodeTest(unittest.TestCase):
    def test_objectness_score_is_objectness_times_best_class(self):
        # cx, cy, w, h, objectness, class 0, class 1
        out = [[100, 100, 20, 20, 0.5, 0.2, 0.5],     # 0.25: kept, the threshold is inclusive
               [300, 300, 20, 20, 0.5, 0.49, 0.1],    # 0.245: dropped though both parts pass
               [500, 500, 20, 20, 0.9, 0.3, 0.8]]     # 0.72, class 1
        got = decode("objectness", out)
        self.assertEqual([(r["class"], round(r["score"], 6)) for r in got], [(1, 0.72), (1, 0.25)])
        self.assertEqual(boxes(got)[0], (1, 490, 490, 510, 510))

    def test_suppression_is_per_class_and_strictly_above_the_threshold(self):
        # A = [0, 0, 10, 10] and B = [0, 0, 10, 20] overlap with IoU exactly 0.5.
        a, b = [5, 5, 10, 10], [5, 10, 10, 20]
        cases = [  # (class of A, class of B, iou threshold, boxes kept)
            (0, 0, 0.5, 2),    # IoU equal to the threshold: both stay
            (0, 0, 0.49, 1),   # above it: the lower score goes
            (0, 1, 0.1, 2),    # other classes never suppress each other
        ]
        for ca, cb, iou, kept in cases:
            with self.subTest(ca=ca, cb=cb, iou=iou):
                rows = [a + [0.9 if c == ca else 0.0 for c in range(2)],
                        b + [0.8 if c == cb else 0.0 for c in range(2)]]
                got = decode("anchor_free", anchor_free(rows), iou=iou)
                self.assertEqual(len(got), kept)
                self.assertAlmostEqual(got[0]["score"], 0.9, places=6)

    def test_equal_scores_keep_the_first_anchor(self):
        # Equal scores along a chain of overlapping boxes: the first anchor must win.
        rows = [[50 + 0.25 * i, 50, 20, 20, 0.6] for i in range(64)]
        got = decode("anchor_free", anchor_free(rows))
        self.assertEqual(boxes(got)[0], (0, 40, 40, 60, 60))

    def test_layouts_agree(self):
        rng = np.random.default_rng(1)
        rows = np.concatenate([rng.uniform(0, 640, (200, 2)), rng.uniform(5, 200, (200, 2)),
                               rng.uniform(0, 1, (200, 3))], 1)
        channels = decode("anchor_free", anchor_free(rows))
        self.assertGreater(len(channels), 20)
        self.assertEqual(decode("anchor_free_transposed", rows), channels)
        # objectness 1 makes the objectness layout score the same
        objectness = np.concatenate([rows[:, :4], np.ones((200, 1)), rows[:, 4:]], 1)
        self.assertEqual(decode("objectness", objectness), channels)

    def test_mapping_back_clips_and_drops_empty_boxes(self):
        # A 1280 x 720 image letterboxed into 640 x 640: scale 0.5, bars of 140 above and below.
        job = dict(scale=0.5, pad_x=0, pad_y=140, image_width=1280, image_height=720)
        rows = [[320, 320, 100, 40, 0.9],    # inside: (540, 320)-(740, 400)
                [10, 150, 40, 40, 0.8],      # past the left edge and into the top bar
                [320, 60, 40, 40, 0.7],      # all in the top bar: no height left
                [630, 490, 40, 40, 0.6]]     # past the right edge and into the bottom bar
        got = decode("anchor_free", anchor_free(rows), **job)
        self.assertEqual(boxes(got), [(0, 540, 320, 740, 400), (0, 0, 0, 60, 60), (0, 1220, 660, 1280, 720)])

    def test_end_to_end_rows_are_not_suppressed(self):
        rows = [[10, 10, 50, 50, 0.9, 2], [10, 10, 50, 50, 0.8, 2], [10, 10, 50, 50, 0.2, 0],
                [0, 0, 0, 0, 0, 0]]  # a padding row
        got = decode("end_to_end", rows, min_score=0.0)
        self.assertEqual([(r["class"], round(r["score"], 6)) for r in got], [(2, 0.9), (2, 0.8), (0, 0.2)])
        self.assertEqual(len(decode("end_to_end", rows)), 2)


class NmsTailTest(unittest.TestCase):
    def test_rows_sorted_padded_and_above_the_score_floor(self):
        corner = np.array([[0, 0, 10, 10], [0, 1, 10, 11], [100, 100, 120, 130], [200, 200, 210, 210]], np.float32)
        scores = np.array([[0.9, 0.8, nets.NMS_SCORE, 0.3],    # the second overlaps the first
                           [0.1, 0.95, 0.0, 0.0]], np.float32)  # class 1 keeps its own box
        rows = ref.nms_tail(corner, scores)
        self.assertEqual(rows.shape, (nets.NMS_ROWS, 6))
        np.testing.assert_allclose(rows[:3], [[0, 1, 10, 11, 0.95, 1], [0, 0, 10, 10, 0.9, 0],
                                              [200, 200, 210, 210, 0.3, 0]], rtol=1e-6)
        self.assertFalse(rows[3:].any())


class PpmTest(unittest.TestCase):
    def test_reads_rgb_with_a_comment_in_the_header(self):
        pixels = np.arange(2 * 3 * 3, dtype=np.uint8).reshape(2, 3, 3)
        with tempfile.NamedTemporaryFile(suffix=".ppm", delete=False) as f:
            f.write(b"P6\n# made by hand\n3 2\n255\n" + pixels.tobytes())
        try:
            np.testing.assert_array_equal(ref.read_ppm(f.name), pixels)
        finally:
            os.remove(f.name)


if __name__ == "__main__":
    unittest.main()
