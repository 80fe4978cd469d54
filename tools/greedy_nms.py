"""Greedy non-maximum suppression as the training tools and ONNX's NonMaxSuppression do it,
shared by the independent decodes (tools/reference_decode.py, tools/real_model_decode.py).
Needs numpy only."""
import numpy as np


def greedy_nms(boxes, scores, iou):
    """Indices kept by greedy suppression, best score first (ties in input order): a box
    goes when its intersection over union with a kept box is above iou. Boxes are corners
    x1, y1, x2, y2 (either diagonal, as ONNX allows)."""
    boxes = np.asarray(boxes, np.float64)
    x1, x2 = np.minimum(boxes[:, 0], boxes[:, 2]), np.maximum(boxes[:, 0], boxes[:, 2])
    y1, y2 = np.minimum(boxes[:, 1], boxes[:, 3]), np.maximum(boxes[:, 1], boxes[:, 3])
    area = (x2 - x1) * (y2 - y1)
    order = np.argsort(-np.asarray(scores, np.float64), kind="stable")
    alive = np.ones(len(order), bool)
    keep = []
    for pos, i in enumerate(order):
        if not alive[pos]:
            continue
        keep.append(int(i))
        rest = order[pos + 1:]
        w = np.clip(np.minimum(x2[i], x2[rest]) - np.maximum(x1[i], x1[rest]), 0, None)
        h = np.clip(np.minimum(y2[i], y2[rest]) - np.maximum(y1[i], y1[rest]), 0, None)
        inter = w * h
        union = area[i] + area[rest] - inter
        with np.errstate(divide="ignore", invalid="ignore"):
            over = np.where(union > 0, inter / union, 0.0) > iou
        alive[pos + 1:] &= ~over
    return keep
