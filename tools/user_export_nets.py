"""Small detectors built as the training tools build them, for tools/generate_user_exports.py
(which exports them) and tools/reference_decode.py (which runs them in torch).

Each variant is a fixed function of its name: the weights come from a seed derived from the
name, then the last convolution of every head is scaled and shifted so that a textured image
gives a few dozen candidates above score 0.25 with boxes of many sizes. That calibration runs
on a canvas made here with a fixed seed, and its results are rounded, so a rebuild in another
process gives bit-identical weights.

Graph code follows the two families' own exports:
  objectness    split-and-merge blocks cut with torch.split and a sizes list, a head per level
                of 3 anchors that decodes with grids and anchor sizes made in forward, output
                [B, N, 5 + C] (cx, cy, w, h, objectness, class scores);
  anchor-free   blocks cut with chunk, box branch of 4 x 16 distance bins (softmax, expectation
                by a fixed 1x1 convolution), distances turned into boxes with chunk around
                anchor points made in forward, output [B, 4 + C, N] (cx, cy, w, h, scores).
Convolutions carry their bias with no batch norm, as after the fusion the tools do before
export. Shapes come from the feature maps inside forward, so a dynamic export computes them.
"""
import zlib

import numpy as np
import torch
from torch import nn

STRIDES = (8, 16, 32)
REG_MAX = 16
OBJECTNESS_ANCHORS = ((10, 13, 16, 30, 33, 23), (30, 61, 62, 45, 59, 119), (116, 90, 156, 198, 373, 326))
GAIN = 1.0
TARGET_CANDIDATES = 50  # above score 0.25 on the calibration canvas
SCORE_LEVEL = 0.25
TOPK_ROWS = 300
NMS_ROWS = 100
NMS_IOU = 0.45
NMS_SCORE = 0.25

# name: family, classes, input height and width, dynamic axes, half precision, head, graph cut.
VARIANTS = {
    "objectness_640": dict(family="objectness"),
    "anchor_free_640": dict(family="anchor_free"),
    "anchor_free_640_transposed": dict(family="anchor_free", head="transposed"),
    "objectness_split_sizes": dict(family="objectness", unequal=True),
    "objectness_dynamic": dict(family="objectness", dynamic="all"),
    "anchor_free_dynamic": dict(family="anchor_free", dynamic="all"),
    "anchor_free_batch_dynamic": dict(family="anchor_free", dynamic="batch"),
    "objectness_fp16": dict(family="objectness", fp16=True),
    "anchor_free_fp16": dict(family="anchor_free", fp16=True),
    "anchor_free_640x384": dict(family="anchor_free", height=384, width=640),
    "anchor_free_1000_classes": dict(family="anchor_free", classes=1000),
    "objectness_1000_classes": dict(family="objectness", classes=1000),
    "end_to_end_topk": dict(family="anchor_free", head="topk"),
    "end_to_end_nms": dict(family="anchor_free", head="nms"),
}
DEFAULTS = dict(classes=1, height=640, width=640, dynamic="none", fp16=False, head="channels", unequal=False)


def variant_settings(name):
    if name not in VARIANTS:
        raise KeyError(f"no detector variant named {name}")
    return {**DEFAULTS, **VARIANTS[name]}


def conv(c_in, c_out, k=1, s=1):
    return nn.Sequential(nn.Conv2d(c_in, c_out, k, s, k // 2), nn.SiLU())


class Bottleneck(nn.Module):
    def __init__(self, c):
        super().__init__()
        self.a, self.b = conv(c, c, 3), conv(c, c, 3)

    def forward(self, x):
        return x + self.b(self.a(x))


class SplitBlock(nn.Module):
    """Objectness family: one convolution, cut by torch.split into the given channel counts;
    the last part goes through a bottleneck and everything is merged again."""

    def __init__(self, c, sizes):
        super().__init__()
        self.sizes = list(sizes)
        self.cv1, self.m, self.cv2 = conv(c, c), Bottleneck(sizes[-1]), conv(c, c)

    def forward(self, x):
        parts = list(torch.split(self.cv1(x), self.sizes, 1))
        parts[-1] = self.m(parts[-1])
        return self.cv2(torch.cat(parts, 1))


class ChunkBlock(nn.Module):
    """Anchor-free family: one convolution cut in halves by chunk; the bottleneck output
    joins both halves."""

    def __init__(self, c):
        super().__init__()
        self.cv1, self.m, self.cv2 = conv(c, c), Bottleneck(c // 2), conv(c // 2 * 3, c)

    def forward(self, x):
        y = list(self.cv1(x).chunk(2, 1))
        y.append(self.m(y[-1]))
        return self.cv2(torch.cat(y, 1))


class Backbone(nn.Module):
    """Strides 2 to 32 with widths 8..64, and a top-down neck: features at 8, 16, 32 with
    32, 64 and 64 channels."""

    def __init__(self, family, unequal):
        super().__init__()
        widths = (8, 16, 32, 64, 64)
        self.stem = conv(3, widths[0], 3, 2)
        stages = []
        for c_in, c in zip(widths[:-1], widths[1:]):
            if family == "objectness":
                block = SplitBlock(c, (c // 4, c - c // 4) if unequal else (c // 2, c // 2))
            else:
                block = ChunkBlock(c)
            stages.append(nn.Sequential(conv(c_in, c, 3, 2), block))
        self.stages = nn.ModuleList(stages)
        self.up = nn.Upsample(scale_factor=2, mode="nearest")
        self.fuse4 = conv(128, 64)
        self.fuse3 = conv(96, 32)

    def forward(self, x):
        x = self.stem(x)
        feats = []
        for stage in self.stages:
            x = stage(x)
            feats.append(x)
        p3, p4, p5 = feats[1:]
        n4 = self.fuse4(torch.cat([self.up(p5), p4], 1))
        n3 = self.fuse3(torch.cat([self.up(n4), p3], 1))
        return [n3, n4, p5]


class ObjectnessHead(nn.Module):
    def __init__(self, classes, unequal):
        super().__init__()
        self.na, self.nc, self.no = 3, classes, 5 + classes
        # The split of the sigmoid output: xy, wh and objectness with the class scores, or
        # (with unequal cuts) objectness and the class scores apart.
        self.sizes = [2, 2, 1, classes] if unequal else [2, 2, 1 + classes]
        self.m = nn.ModuleList(nn.Conv2d(c, self.na * self.no, 1) for c in (32, 64, 64))
        self.register_buffer("anchors", torch.tensor(OBJECTNESS_ANCHORS, dtype=torch.float32).view(3, 3, 2)
                             / torch.tensor(STRIDES, dtype=torch.float32).view(3, 1, 1))
        self.register_buffer("stride", torch.tensor(STRIDES, dtype=torch.float32))

    def make_grid(self, nx, ny, i):
        shape = 1, self.na, ny, nx, 2
        yv, xv = torch.meshgrid(torch.arange(ny, dtype=torch.float32), torch.arange(nx, dtype=torch.float32),
                                indexing="ij")
        grid = torch.stack((xv, yv), 2).expand(shape) - 0.5
        anchor_grid = (self.anchors[i] * self.stride[i]).view((1, self.na, 1, 1, 2)).expand(shape)
        return grid, anchor_grid

    def forward(self, feats):
        z = []
        for i, x in enumerate(feats):
            x = self.m[i](x)
            bs, _, ny, nx = x.shape
            x = x.view(bs, self.na, self.no, ny, nx).permute(0, 1, 3, 4, 2).contiguous()
            grid, anchor_grid = self.make_grid(nx, ny, i)
            xy, wh, *conf = x.sigmoid().split(self.sizes, 4)
            xy = (xy * 2 + grid) * self.stride[i]
            wh = (wh * 2) ** 2 * anchor_grid
            z.append(torch.cat((xy, wh, *conf), 4).view(bs, self.na * nx * ny, self.no))
        return torch.cat(z, 1)


def make_anchors(feats, strides, offset=0.5):
    points, stride_rows = [], []
    for x, stride in zip(feats, strides):
        _, _, h, w = x.shape
        sx = torch.arange(end=w, dtype=torch.float32) + offset
        sy = torch.arange(end=h, dtype=torch.float32) + offset
        sy, sx = torch.meshgrid(sy, sx, indexing="ij")
        points.append(torch.stack((sx, sy), -1).view(-1, 2))
        stride_rows.append(torch.full((h * w, 1), stride, dtype=torch.float32))
    return torch.cat(points), torch.cat(stride_rows)


class Distribution(nn.Module):
    """Expected distance from 16 bins: softmax, then a fixed 1x1 convolution by 0..15."""

    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(REG_MAX, 1, 1, bias=False).requires_grad_(False)
        self.conv.weight.data[:] = torch.arange(REG_MAX, dtype=torch.float32).view(1, REG_MAX, 1, 1)

    def forward(self, x):
        b, _, a = x.shape
        return self.conv(x.view(b, 4, REG_MAX, a).transpose(2, 1).softmax(1)).view(b, 4, a)


def distance_to_box(distance, points, xywh, dim=1):
    lt, rb = distance.chunk(2, dim)
    x1y1 = points - lt
    x2y2 = points + rb
    if xywh:
        return torch.cat(((x1y1 + x2y2) / 2, x2y2 - x1y1), dim)
    return torch.cat((x1y1, x2y2), dim)


class AnchorFreeHead(nn.Module):
    """mode: "channels" [B, 4 + C, N]; "transposed" [B, N, 4 + C]; "topk" [B, 300, 6] rows
    (x1, y1, x2, y2, score, class) of the best class at the 300 best anchors; "nms" the boxes
    [B, N, 4] as corners and the scores [B, C, N] that ONNX NonMaxSuppression takes."""

    def __init__(self, classes, mode):
        super().__init__()
        self.nc, self.no, self.mode = classes, 4 * REG_MAX + classes, mode
        c3 = 32 if classes > 1 else 16
        self.cv2 = nn.ModuleList(nn.Sequential(conv(c, 16, 3), conv(16, 16, 3), nn.Conv2d(16, 4 * REG_MAX, 1))
                                 for c in (32, 64, 64))
        self.cv3 = nn.ModuleList(nn.Sequential(conv(c, c3, 3), conv(c3, c3, 3), nn.Conv2d(c3, classes, 1))
                                 for c in (32, 64, 64))
        self.dfl = Distribution()

    def forward(self, feats):
        x = [torch.cat((self.cv2[i](f), self.cv3[i](f)), 1) for i, f in enumerate(feats)]
        shape = x[0].shape
        x_cat = torch.cat([xi.view(shape[0], self.no, -1) for xi in x], 2)
        anchors, strides = (t.transpose(0, 1) for t in make_anchors(x, STRIDES, 0.5))
        box, cls = x_cat.split((4 * REG_MAX, self.nc), 1)
        corners = self.mode in ("topk", "nms")
        dbox = distance_to_box(self.dfl(box), anchors.unsqueeze(0), xywh=not corners, dim=1) * strides
        scores = cls.sigmoid()
        if self.mode == "channels":
            return torch.cat((dbox, scores), 1)
        if self.mode == "transposed":
            return torch.cat((dbox, scores), 1).transpose(1, 2)
        if self.mode == "nms":
            return dbox.transpose(1, 2), scores
        boxes, scores = dbox.transpose(1, 2), scores.transpose(1, 2)
        best, labels = scores.max(-1)
        best, index = best.topk(min(TOPK_ROWS, best.shape[1]), dim=-1)
        boxes = boxes.gather(1, index.unsqueeze(-1).repeat(1, 1, 4))
        labels = labels.gather(1, index)
        return torch.cat([boxes, best.unsqueeze(-1), labels.unsqueeze(-1).to(boxes.dtype)], -1)


class Detector(nn.Module):
    def __init__(self, s):
        super().__init__()
        self.backbone = Backbone(s["family"], s["unequal"])
        if s["family"] == "objectness":
            self.head = ObjectnessHead(s["classes"], s["unequal"])
        else:
            self.head = AnchorFreeHead(s["classes"], s["head"])

    def forward(self, x):
        return self.head(self.backbone(x))


# The task exports of tools/generate_user_exports.py: the detector "anchor_free_640" (same
# weights, so the same boxes and class scores) with what the other tasks' heads add.
KEYPOINTS = (4, 2)  # kpt_shape: four keypoints of (x, y)
MASKS = 32          # mask coefficients per anchor, and prototype channels


class TaskHead(nn.Module):
    """Wraps the anchor_free_640 detector and adds, per anchor, after its class scores:
      pose     K*D keypoint values ([B, 4 + C + K*D, N]), x and y in input pixels around the
               anchor point as the pose head decodes them;
      segment  M mask coefficients ([B, 4 + C + M, N]), plus a second output, the mask
               prototypes [B, M, H/4, W/4];
      obb      one rotation angle in radians ([B, 4 + C + 1, N]).
    The added convolutions get weights from their own seed, so the detector's are untouched."""

    def __init__(self, task):
        super().__init__()
        self.task = task
        self.base = build("anchor_free_640")
        torch.manual_seed(zlib.crc32(("task_" + task).encode()))
        channels = {"pose": KEYPOINTS[0] * KEYPOINTS[1], "segment": MASKS, "obb": 1}[task]
        self.extra = nn.ModuleList(nn.Conv2d(c, channels, 1) for c in (32, 64, 64))
        for m in self.extra:
            m.weight.data.mul_(0.1)
        if task == "segment":
            self.proto = nn.Sequential(nn.Upsample(scale_factor=2, mode="nearest"), nn.Conv2d(32, MASKS, 3, 1, 1))
        self.eval()

    def forward(self, x):
        feats = self.base.backbone(x)
        det = self.base.head(feats)
        raw = torch.cat([m(f).flatten(2) for m, f in zip(self.extra, feats)], 2)
        if self.task == "pose":
            points, strides = (t.transpose(0, 1) for t in make_anchors(feats, STRIDES, 0.5))
            b, _, n = raw.shape
            xy = (raw.view(b, KEYPOINTS[0], KEYPOINTS[1], n) * 2 + (points.unsqueeze(0).unsqueeze(0) - 0.5)) * strides
            return torch.cat((det, xy.view(b, -1, n)), 1)
        if self.task == "obb":
            return torch.cat((det, (raw.sigmoid() - 0.25) * 3.141592653589793), 1)
        return torch.cat((det, raw), 1), self.proto(feats[0])


class Classifier(nn.Module):
    """A classification export: [B, C] class probabilities, no boxes."""

    def __init__(self, classes):
        super().__init__()
        torch.manual_seed(zlib.crc32(b"classify"))
        self.conv = conv(3, 16, 3, 2)
        self.linear = nn.Linear(16, classes)
        self.eval()

    def forward(self, x):
        return self.linear(self.conv(x).mean((2, 3))).softmax(1)


def texture_canvas(height, width, seed=7, cell=32, grain=12.0):
    """A deterministic RGB uint8 image with smooth blobs, stripes, rectangles and grain."""
    rng = np.random.default_rng(seed)
    coarse = rng.random((height // cell + 2, width // cell + 2, 3))
    img = np.kron(coarse, np.ones((cell, cell, 1)))[:height, :width] * 120
    ys, xs = np.mgrid[0:height, 0:width]
    img += 50 * (1 + np.sin(xs / 7.0 + ys / 13.0))[..., None] * np.array([1.0, 0.6, 0.3])
    for _ in range(12):
        y0, x0 = rng.integers(0, height - 16), rng.integers(0, width - 16)
        h, w = rng.integers(8, height // 3), rng.integers(8, width // 3)
        img[y0:y0 + h, x0:x0 + w] = rng.integers(0, 256, 3)
    img += rng.normal(0, grain, img.shape)
    return np.clip(img, 0, 255).astype(np.uint8)


def sample_canvas():
    """The 640 x 640 textured image that the candidate counts are tuned on."""
    return texture_canvas(640, 640, 7)


def letterbox(rgb, height, width, grey=114):
    """Fits an image into height x width keeping its aspect, bilinear with pixel centres
    aligned, centred between grey bars; answers the image, the scale and the left and top
    padding."""
    h, w = rgb.shape[:2]
    scale = min(height / h, width / w)
    nh, nw = int(round(h * scale)), int(round(w * scale))
    ys = np.clip((np.arange(nh) + 0.5) / scale - 0.5, 0, h - 1)
    xs = np.clip((np.arange(nw) + 0.5) / scale - 0.5, 0, w - 1)
    y0, x0 = np.floor(ys).astype(int), np.floor(xs).astype(int)
    y1, x1 = np.minimum(y0 + 1, h - 1), np.minimum(x0 + 1, w - 1)
    fy, fx = (ys - y0)[:, None, None], (xs - x0)[None, :, None]
    src = rgb.astype(np.float64)
    top = src[y0][:, x0] * (1 - fx) + src[y0][:, x1] * fx
    bottom = src[y1][:, x0] * (1 - fx) + src[y1][:, x1] * fx
    resized = np.clip(np.round(top * (1 - fy) + bottom * fy), 0, 255).astype(np.uint8)
    out = np.full((height, width, 3), grey, np.uint8)
    pad_y, pad_x = (height - nh) // 2, (width - nw) // 2
    out[pad_y:pad_y + nh, pad_x:pad_x + nw] = resized
    return out, scale, pad_x, pad_y


def calibration_canvases(height, width):
    """The sample canvas as the network sees it, first, then textures of other kinds: coarse,
    letterboxed between grey bars, plain noise."""
    boxed = texture_canvas(height, width, 11)
    band = height * 9 // 32
    boxed[:band] = 114
    boxed[height - band:] = 114
    noise = np.random.default_rng(5).integers(0, 256, (height, width, 3), dtype=np.uint8)
    return [letterbox(sample_canvas(), height, width)[0], texture_canvas(height, width, 3, 96, 4.0), boxed, noise]


def to_input(rgb, half=False):
    """RGB uint8 HxWx3 to the network input: float /255, NCHW, batch 1."""
    x = torch.from_numpy(np.ascontiguousarray(rgb.transpose(2, 0, 1))).float().div(255.0).unsqueeze(0)
    return x.half().float() if half else x


def final_convs(model):
    head = model.head
    if isinstance(head, ObjectnessHead):
        return list(head.m)
    return [s[-1] for s in head.cv2] + [s[-1] for s in head.cv3]


def rounded(value, step=1 / 256):
    return round(value / step) * step


def normalise(conv_layer, _inputs, out):
    """Forward hook: rescales a convolution so that each of its output channels has mean 0
    and deviation 1 on the current image, as a trained network's folded batch norm keeps
    them (random weights alone fade the image away within a few layers)."""
    with torch.no_grad():
        mean = out.mean(dim=(0, 2, 3))
        scale = torch.tensor([rounded(GAIN / max(v, 1e-6), 1 / 4096) for v in out.std(dim=(0, 2, 3)).tolist()])
        shift = torch.tensor([rounded(v, 1 / 4096) for v in (mean * scale).tolist()])
        conv_layer.weight.mul_(scale.view(-1, 1, 1, 1))
        conv_layer.bias.mul_(scale).sub_(shift)
        return out * scale.view(1, -1, 1, 1) - shift.view(1, -1, 1, 1)


def calibrate(model, s):
    """Normalises the hidden convolutions, then scales and shifts the last convolution of
    each head (see the module note), all from one pass over the calibration canvases. The
    score bias is set for the target count on the sample canvas."""
    convs = final_convs(model)
    for c in convs:
        nn.init.zeros_(c.bias)
    raw = {}
    hidden = [m[0] for m in model.modules()
              if isinstance(m, nn.Sequential) and len(m) == 2 and isinstance(m[1], nn.SiLU)]
    hooks = [c.register_forward_hook(normalise) for c in hidden]
    hooks += [c.register_forward_hook(lambda m, i, o, k=k: raw.__setitem__(k, o.detach())) for k, c in enumerate(convs)]
    with torch.no_grad():
        model(torch.cat([to_input(c) for c in calibration_canvases(s["height"], s["width"])]))
    for h in hooks:
        h.remove()
    nc = s["classes"]
    with torch.no_grad():
        if s["family"] == "objectness":
            no = 5 + nc
            # [image, anchor, channel]: channels 0..3 box, 4 objectness, 5.. classes.
            rows = torch.cat([raw[k].view(raw[k].shape[0], 3, no, -1).permute(0, 1, 3, 2).flatten(1, 2)
                              for k in range(3)], 1)
            box_scale = rounded(0.7 / rows[..., :4].std().item())
            obj_scale = rounded(1.5 / rows[..., 4].std().item())
            cls_scale = rounded(1.5 / rows[..., 5:].std().item())
            cls_bias = 1.0 if nc == 1 else 0.0
            cls = (rows[..., 5:] * cls_scale + cls_bias).sigmoid().max(-1).values
            obj = rows[..., 4] * obj_scale

            def score(bias):
                return (obj + bias).sigmoid() * cls
        else:
            box = torch.cat([raw[k].flatten(2) for k in range(3)], 2)
            cls = torch.cat([raw[k].flatten(2) for k in range(3, 6)], 2)
            box_scale = rounded(2.5 / box.std().item())
            cls_scale = rounded(1.5 / cls.std().item())
            best = (cls * cls_scale).max(1).values

            def score(bias):
                return (best + bias).sigmoid()
        lo, hi = -30.0, 30.0  # the counts grow with the bias
        for _ in range(50):
            mid = (lo + hi) / 2
            if int((score(mid)[0] >= SCORE_LEVEL).sum()) > TARGET_CANDIDATES:
                hi = mid
            else:
                lo = mid
        bias = rounded((lo + hi) / 2)
        if s["family"] == "objectness":
            scale = torch.tensor([box_scale] * 4 + [obj_scale] + [cls_scale] * nc).repeat(3)
            shift = torch.tensor([0.0] * 4 + [bias] + [cls_bias] * nc).repeat(3)
            for c in convs:
                c.weight.mul_(scale.view(-1, 1, 1, 1))
                c.bias.copy_(shift)
        else:
            for c in convs[:3]:
                c.weight.mul_(box_scale)
            for c in convs[3:]:
                c.weight.mul_(cls_scale)
                c.bias.fill_(bias)


def build(name):
    """The variant's torch module in eval mode, float32; a half precision variant has its
    weights rounded to half, so that it computes what the half export holds."""
    s = variant_settings(name)
    torch.manual_seed(zlib.crc32(name.encode()))
    model = Detector(s).eval()
    calibrate(model, s)
    if s["fp16"]:
        model = model.half().float()
    return model
