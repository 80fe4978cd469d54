#!/usr/bin/python3
"""Writes detectors of the size and shape of the smallest common real ones, with fixed
random weights, for timing the engine and proving that it loads and runs their graphs:

  objectness_<size>.onnx   about 1.9 M parameters, output [1, N, 5 + classes]
  anchor_free_<size>.onnx  about 3 M parameters, output [1, 4 + classes, N]
Both scale their boxes with the broadcasting stride Mul of common exports and are passed
through tools/fix_broadcast.py, as such exports must be for OpenCV 4.6.
  classes.names            one class

for each input size asked (default 320 and 640), exported with static shapes at opset 12.
The weights are random: the models find nothing real and only their cost is meaningful.
The class scores start near 0.01, as trained detectors' biases make them, so that
post-processing sees the few candidates a real scene gives.

Needs Debian's python3-torch and python3-onnx: /usr/bin/python3 tools/generate_cost_models.py OUT [SIZES...]
"""
import os
import subprocess
import sys

import onnx
import torch
from torch import nn

CLASSES = 1
STRIDES = (8, 16, 32)


def conv(c_in, c_out, k=3, s=1):
    return nn.Sequential(nn.Conv2d(c_in, c_out, k, s, k // 2, bias=False), nn.BatchNorm2d(c_out), nn.SiLU())


class Bottleneck(nn.Module):
    def __init__(self, c):
        super().__init__()
        self.a, self.b = conv(c, c, 1), conv(c, c, 3)

    def forward(self, x):
        return x + self.b(self.a(x))


class Stage(nn.Module):
    """A stride-2 convolution, then split-and-merge residual blocks."""

    def __init__(self, c_in, c_out, blocks):
        super().__init__()
        self.half = c_out // 2  # a plain number, so that the export has no shape arithmetic
        self.down = conv(c_in, c_out, 3, 2)
        self.split = conv(c_out, c_out, 1)
        self.blocks = nn.Sequential(*[Bottleneck(c_out // 2) for _ in range(blocks)])
        self.merge = conv(c_out, c_out, 1)

    def forward(self, x):
        x = self.split(self.down(x))
        a, b = torch.split(x, [self.half, self.half], dim=1)
        return self.merge(torch.cat([a, self.blocks(b)], 1))


class Detector(nn.Module):
    def __init__(self, widths, blocks, head, anchor_free, size):
        super().__init__()
        self.anchor_free, self.size = anchor_free, size
        self.stem = conv(3, widths[0], 3, 2)
        stages, c = [], widths[0]
        for w, n in zip(widths[1:], blocks):
            stages.append(Stage(c, w, n))
            c = w
        self.stages = nn.ModuleList(stages)
        outputs = 4 + CLASSES if anchor_free else 5 + CLASSES
        self.outputs = outputs
        self.cells_per_level = [(size // s) ** 2 for s in STRIDES]
        self.heads = nn.ModuleList(
            nn.Sequential(conv(w, head), conv(head, head), nn.Conv2d(head, outputs, 1)) for w in widths[-3:])
        for h in self.heads:  # scores near 0.01 at the start, as in trained detectors
            nn.init.constant_(h[-1].bias, 0.0)
            with torch.no_grad():
                h[-1].bias[4:] = -4.6
        # Anchor centres and strides, as constants of the graph.
        cells, strides = [], []
        for s in STRIDES:
            g = size // s
            ys, xs = torch.meshgrid(torch.arange(g), torch.arange(g), indexing="ij")
            cells.append(torch.stack([xs, ys], 0).reshape(2, -1).float())
            strides.append(torch.full((1, g * g), float(s)))
        self.register_buffer("cells", torch.cat(cells, 1).unsqueeze(0))  # [1, 2, N]
        self.register_buffer("strides", torch.cat(strides, 1))  # [1, N]

    def forward(self, x):
        x = self.stem(x)
        features = []
        for stage in self.stages:
            x = stage(x)
            features.append(x)
        raw = torch.cat([h(f).reshape(1, self.outputs, n)
                         for h, f, n in zip(self.heads, features[-3:], self.cells_per_level)], 2)  # [1, C, N]
        xy = (raw[:, 0:2].sigmoid() * 2 - 0.5 + self.cells) * self.strides  # broadcasting [1, N]
        wh = raw[:, 2:4].sigmoid() * 4 * self.strides
        if self.anchor_free:
            return torch.cat([xy, wh, raw[:, 4:].sigmoid()], 1)  # [1, 4 + classes, N]
        return torch.cat([xy, wh, raw[:, 4:].sigmoid()], 1).transpose(1, 2)  # [1, N, 5 + classes]


def build(kind, size):
    torch.manual_seed(1234 if kind == "objectness" else 4321)
    if kind == "objectness":
        model = Detector([16, 32, 64, 128, 352], [1, 2, 3, 1], 88, False, size)  # 1.90 M
    else:
        model = Detector([16, 32, 80, 176, 416], [1, 2, 2, 1], 128, True, size)  # 3.08 M
    return model.eval()


def drop_constant_identities(path):
    """The exporter passes shared constants through Identity nodes, which OpenCV 4.6 cannot
    read; each such node is replaced by the initializer it forwards."""
    model = onnx.load(path)
    graph = model.graph
    constants = {i.name for i in graph.initializer}
    renames = {}
    for node in list(graph.node):
        if node.op_type == "Identity" and node.input[0] in constants:
            renames[node.output[0]] = node.input[0]
            graph.node.remove(node)
    for node in graph.node:
        for k, name in enumerate(node.input):
            node.input[k] = renames.get(name, name)
    onnx.save(model, path)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    sizes = [int(s) for s in sys.argv[2:]] or [320, 640]
    os.makedirs(out, exist_ok=True)
    fix = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fix_broadcast.py")
    for size in sizes:
        for kind in ("objectness", "anchor_free"):
            model = build(kind, size)
            params = sum(p.numel() for p in model.parameters())
            path = os.path.join(out, f"{kind}_{size}.onnx")
            raw = path + ".export"
            with torch.no_grad():
                torch.onnx.export(model, torch.zeros(1, 3, size, size), raw, opset_version=12,
                                  input_names=["images"], output_names=["output0"], do_constant_folding=True)
            drop_constant_identities(raw)
            # Both heads scale by a per-anchor stride row, as common exports do.
            subprocess.run([sys.executable, fix, raw, path], check=True, stdout=subprocess.DEVNULL)
            os.remove(raw)
            print(f"{path}: {params / 1e6:.2f} M parameters")
    with open(os.path.join(out, "classes.names"), "w") as f:
        f.write("weapon\n")


if __name__ == "__main__":
    main()
