#!/usr/bin/python3
"""Converts the NanoDet person detector, shipped as a TF.js graph model (a JSON topology plus float16-stored
weights), into an ONNX model that ONNX Runtime can run.

The module also holds a small numpy interpreter of the same TensorFlow graph. It is the reference the
conversion is checked against: `convert_nanodet.py JSON BIN OUT.onnx REFERENCE` writes, beside the model, a
file of test inputs with the interpreter's outputs, which a test then compares with ONNX Runtime's.

ONNX model: input "input" float32 [1, 3, 416, 416] (NCHW, BGR normalised with the NanoDet mean and std);
outputs per stride s in (8, 16, 32), with n = (416 / s)^2 cells in row-major order:
  "scores_<s>" float32 [1, n, 80]  per-class probabilities (the sigmoid is part of the graph);
  "boxes_<s>"  float32 [1, n, 44]  per side (left, top, right, bottom) 11 distance bins, before softmax.
"""
import base64
import json
import os
import struct
import sys

import numpy as np
import onnx
from onnx import helper, numpy_helper, TensorProto

INPUT_NAME = "input"
INPUT_SHAPE = (1, 3, 416, 416)
# The graph's output tensors and the names they get in the ONNX model, in the reference file's order.
OUTPUTS = [
    ("Identity", "scores_8"),
    ("Identity_1", "scores_16"),
    ("Identity_2", "scores_32"),
    ("Identity_3", "boxes_8"),
    ("Identity_4", "boxes_16"),
    ("Identity_5", "boxes_32"),
]
REFERENCE_MAGIC = b"NDREF001"

_DTYPES = {"float32": np.float32, "int32": np.int32}
_HALF_PRECISION = {"float16": np.float16}


class TfGraph:
    """The TF.js graph: nodes by name in file order, constants decoded to numpy arrays."""

    def __init__(self, json_path, bin_path):
        with open(json_path) as f:
            model = json.load(f)
        if model.get("format") != "graph-model":
            raise ValueError("not a TF.js graph model")
        with open(bin_path, "rb") as f:
            data = f.read()
        self.constants = {}
        offset = 0
        for group in model["weightsManifest"]:
            for weight in group["weights"]:
                shape = [int(d) for d in weight["shape"]]
                count = int(np.prod(shape)) if shape else 1
                quantization = weight.get("quantization")
                if quantization:
                    stored = _HALF_PRECISION.get(quantization.get("dtype"))
                    if stored is None:
                        raise ValueError(f"unsupported weight quantization {quantization}")
                    target = _DTYPES[weight["dtype"]]
                else:
                    stored = target = _DTYPES[weight["dtype"]]
                size = count * np.dtype(stored).itemsize
                if offset + size > len(data):
                    raise ValueError("weights file is shorter than its manifest")
                array = np.frombuffer(data, dtype=stored, count=count, offset=offset).astype(target)
                self.constants[weight["name"]] = array.reshape(shape)
                offset += size
        if offset != len(data):
            raise ValueError("weights file is longer than its manifest")
        self.nodes = model["modelTopology"]["node"]
        for node in self.nodes:
            if node["op"] == "Const" and node["name"] not in self.constants:
                raise ValueError(f"constant {node['name']} has no weights")


def _attr(node, name, default=None):
    value = node.get("attr", {}).get(name)
    if value is None:
        return default
    if "list" in value:
        return [int(i) for i in value["list"].get("i", [])]
    if "f" in value:
        return float(value["f"])
    if "b" in value:
        return bool(value["b"])
    if "i" in value:
        return int(value["i"])
    if "s" in value:
        return base64.b64decode(value["s"]).decode()
    return value


def _tensor_name(reference):
    """'node:1' -> ('node', 1); 'node' -> ('node', 0)."""
    name, _, index = reference.partition(":")
    return name, int(index or 0)


def _data_inputs(node):
    return [i for i in node.get("input", []) if not i.startswith("^")]


def _check_pool_attributes(node):
    if _attr(node, "padding") != "VALID" or _attr(node, "data_format", "NHWC") != "NHWC":
        raise ValueError(f"{node['name']}: unsupported pooling")


def _check_resize_attributes(node):
    if not _attr(node, "half_pixel_centers", False) or _attr(node, "align_corners", False):
        raise ValueError(f"{node['name']}: only half-pixel-centre resizing is supported")


def _check_conv_attributes(node):
    if _attr(node, "data_format", "NHWC") != "NHWC":
        raise ValueError(f"{node['name']}: only NHWC is supported")
    if _attr(node, "padding") != "VALID":
        raise ValueError(f"{node['name']}: only VALID padding is supported (the graph pads explicitly)")
    if any(d != 1 for d in _attr(node, "dilations", [1, 1, 1, 1])):
        raise ValueError(f"{node['name']}: dilation is not supported")


# ----------------------------------------------------------------------------------------------------
# Reference: the TensorFlow ops, in float64 numpy.

def _windows(x, kh, kw, sh, sw):
    """NHWC input -> [N, Ho, Wo, C, kh, kw] windows of a VALID sliding window."""
    view = np.lib.stride_tricks.sliding_window_view(x, (kh, kw), axis=(1, 2))
    return view[:, ::sh, ::sw]


def _conv2d(x, w, strides):
    kh, kw, ci, co = w.shape
    groups = x.shape[3] // ci
    win = _windows(x, kh, kw, strides[1], strides[2])
    n, ho, wo = win.shape[:3]
    outs = []
    for g in range(groups):
        part = win[:, :, :, g * ci:(g + 1) * ci].reshape(n * ho * wo, ci * kh * kw)
        wg = w[:, :, :, g * (co // groups):(g + 1) * (co // groups)]
        wg = wg.transpose(2, 0, 1, 3).reshape(ci * kh * kw, co // groups)
        outs.append((part @ wg).reshape(n, ho, wo, co // groups))
    return np.concatenate(outs, axis=3)


def _resize_bilinear_half_pixel(x, size):
    """tf.image.resize_bilinear with half_pixel_centers=True, align_corners=False, NHWC."""
    def axis_weights(in_size, out_size):
        scale = in_size / out_size
        source = (np.arange(out_size) + 0.5) * scale - 0.5
        lower = np.floor(source)
        frac = source - lower
        lo = np.clip(lower, 0, in_size - 1).astype(int)
        hi = np.clip(lower + 1, 0, in_size - 1).astype(int)
        return lo, hi, frac

    oh, ow = int(size[0]), int(size[1])
    ylo, yhi, yf = axis_weights(x.shape[1], oh)
    xlo, xhi, xf = axis_weights(x.shape[2], ow)
    top = x[:, ylo] * (1 - yf)[None, :, None, None] + x[:, yhi] * yf[None, :, None, None]
    return top[:, :, xlo] * (1 - xf)[None, None, :, None] + top[:, :, xhi] * xf[None, None, :, None]


def _pads(paddings):
    return [(int(b), int(e)) for b, e in np.asarray(paddings)]


def evaluate_op(node, args, constants=None):
    """One TF op on numpy values; returns its outputs as a list."""
    op, name = node["op"], node["name"]
    if op == "Const":
        return [constants[name]]
    if op == "Identity":
        return [args[0]]
    if op in ("Add", "AddV2"):
        return [args[0] + args[1]]
    if op == "LeakyRelu":
        alpha = _attr(node, "alpha", 0.2)
        return [np.where(args[0] >= 0, args[0], alpha * args[0])]
    if op == "Sigmoid":
        return [1.0 / (1.0 + np.exp(-args[0]))]
    if op == "Pad":
        return [np.pad(args[0], _pads(args[1]), constant_values=0)]
    if op == "PadV2":
        return [np.pad(args[0], _pads(args[1]), constant_values=float(args[2]))]
    if op == "Transpose":
        return [np.transpose(args[0], [int(p) for p in args[1]])]
    if op == "Reshape":
        return [np.reshape(args[0], [int(d) for d in args[1]])]
    if op == "ConcatV2":
        return [np.concatenate(args[:-1], axis=int(args[-1]))]
    if op == "SplitV":
        sizes, axis = [int(s) for s in args[1]], int(args[2])
        return np.split(args[0], np.cumsum(sizes)[:-1], axis=axis)
    if op == "SparseToDense":
        indices, shape, sparse, default = args
        dense = np.full([int(d) for d in np.atleast_1d(shape)], default, dtype=np.asarray(default).dtype)
        indices = np.asarray(indices).reshape(-1, dense.ndim)
        for position, value in zip(indices, np.broadcast_to(sparse, (len(indices),))):
            dense[tuple(int(i) for i in position)] = value
        return [dense]
    if op == "Conv2D":
        _check_conv_attributes(node)
        return [_conv2d(args[0], args[1].astype(np.float64), _attr(node, "strides"))]
    if op == "MaxPool":
        _check_pool_attributes(node)
        _, kh, kw, _ = _attr(node, "ksize")
        _, sh, sw, _ = _attr(node, "strides")
        return [_windows(args[0], kh, kw, sh, sw).max(axis=(4, 5))]
    if op == "ResizeBilinear":
        _check_resize_attributes(node)
        return [_resize_bilinear_half_pixel(args[0], args[1])]
    raise ValueError(f"unsupported op {op} ({name})")


def run_reference(graph, image):
    """Evaluates the TF graph on one NCHW float input in float64; returns the outputs in OUTPUTS order."""
    values = {}
    for node in graph.nodes:
        if node["op"] == "Placeholder":
            values[node["name"]] = [np.asarray(image, dtype=np.float64)]
            continue
        args = [values[n][i] for n, i in map(_tensor_name, _data_inputs(node))]
        values[node["name"]] = evaluate_op(node, args, graph.constants)
    return [values[tf_name][0] for tf_name, _ in OUTPUTS]


# ----------------------------------------------------------------------------------------------------
# Conversion: every op maps onto ONNX ops; tensors that do not depend on the input are folded.

class _Builder:
    def __init__(self):
        self.nodes = []
        self.initializers = []
        self.counter = 0

    def fresh(self, hint):
        self.counter += 1
        return f"{hint}__{self.counter}"

    def constant(self, array, hint):
        name = self.fresh(hint)
        self.initializers.append(numpy_helper.from_array(np.asarray(array), name))
        return name

    def node(self, op, inputs, hint, **attributes):
        output = self.fresh(hint)
        self.nodes.append(helper.make_node(op, inputs, [output], name=output, **attributes))
        return output


NHWC_TO_NCHW = [0, 3, 1, 2]
NCHW_TO_NHWC = [0, 2, 3, 1]


def convert(graph):
    b = _Builder()
    folded = {}     # TF tensor -> numpy value, for tensors independent of the input
    dynamic = {}    # TF tensor -> ONNX tensor name
    conv_of = {}    # ONNX name of an NHWC conv result -> its Conv node, for bias folding
    consumers = {}  # TF node -> number of inputs that read it
    for node in graph.nodes:
        for reference in _data_inputs(node):
            key = _tensor_name(reference)[0]
            consumers[key] = consumers.get(key, 0) + 1

    def known(reference):
        name, index = _tensor_name(reference)
        return (name, index) in folded

    def value(reference):
        return folded[_tensor_name(reference)]

    def tensor(reference):
        key = _tensor_name(reference)
        if key in dynamic:
            return dynamic[key]
        return b.constant(folded[key].astype(np.float32) if folded[key].dtype.kind == "f" else folded[key],
                          key[0].replace("/", "_"))

    for node in graph.nodes:
        op, name = node["op"], node["name"]
        inputs = _data_inputs(node)
        hint = name.replace("/", "_")
        if op == "Const":
            folded[(name, 0)] = graph.constants[name]
            continue
        if op == "Placeholder":
            dynamic[(name, 0)] = INPUT_NAME
            continue
        if all(known(i) for i in inputs):
            # Shape arithmetic (SparseToDense, AddV2 on shapes) does not depend on the input: fold it.
            for index, result in enumerate(evaluate_op(node, [value(i) for i in inputs])):
                folded[(name, index)] = np.asarray(result)
            continue
        x = tensor(inputs[0])
        if op == "Identity":
            dynamic[(name, 0)] = x
        elif op in ("Add", "AddV2"):
            # A per-channel constant added to a conv result is the conv's bias.
            if x in conv_of and known(inputs[1]) and np.asarray(value(inputs[1])).ndim == 1 \
                    and consumers[_tensor_name(inputs[0])[0]] == 1:
                conv = conv_of[x]
                bias = np.asarray(value(inputs[1]), np.float32)
                if len(conv.input) == 2 and bias.shape[0] == graph_channels(b, conv):
                    conv.input.append(b.constant(bias, hint + "_bias"))
                    dynamic[(name, 0)] = x
                    continue
            dynamic[(name, 0)] = b.node("Add", [x, tensor(inputs[1])], hint)
        elif op == "LeakyRelu":
            dynamic[(name, 0)] = b.node("LeakyRelu", [x], hint, alpha=_attr(node, "alpha", 0.2))
        elif op == "Sigmoid":
            dynamic[(name, 0)] = b.node("Sigmoid", [x], hint)
        elif op in ("Pad", "PadV2"):
            pads = _pads(value(inputs[1]))
            onnx_pads = b.constant(np.array([p[0] for p in pads] + [p[1] for p in pads], np.int64), hint + "_pads")
            fill = float(value(inputs[2])) if op == "PadV2" else 0.0
            dynamic[(name, 0)] = b.node("Pad", [x, onnx_pads, b.constant(np.array(fill, np.float32), hint + "_fill")],
                                        hint, mode="constant")
        elif op == "Transpose":
            dynamic[(name, 0)] = b.node("Transpose", [x], hint, perm=[int(p) for p in value(inputs[1])])
        elif op == "Reshape":
            shape = b.constant(np.array([int(d) for d in value(inputs[1])], np.int64), hint + "_shape")
            dynamic[(name, 0)] = b.node("Reshape", [x, shape], hint)
        elif op == "ConcatV2":
            parts = [tensor(i) for i in inputs[:-1]]
            dynamic[(name, 0)] = b.node("Concat", parts, hint, axis=int(value(inputs[-1])))
        elif op == "SplitV":
            sizes = [int(s) for s in value(inputs[1])]
            outputs = [b.fresh(hint) for _ in sizes]
            b.nodes.append(helper.make_node("Split", [x, b.constant(np.array(sizes, np.int64), hint + "_sizes")],
                                            outputs, name=outputs[0], axis=int(value(inputs[2]))))
            for index, output in enumerate(outputs):
                dynamic[(name, index)] = output
        elif op == "Conv2D":
            _check_conv_attributes(node)
            w = np.asarray(value(inputs[1]), np.float32)  # HWIO
            strides = _attr(node, "strides")
            nchw = b.node("Transpose", [x], hint + "_nchw", perm=NHWC_TO_NCHW)
            weights = b.constant(w.transpose(3, 2, 0, 1).copy(), hint + "_weights")  # OIHW
            conv_out = b.fresh(hint)
            conv = helper.make_node("Conv", [nchw, weights], [conv_out], name=conv_out,
                                    kernel_shape=[w.shape[0], w.shape[1]], strides=[strides[1], strides[2]],
                                    pads=[0, 0, 0, 0], group=1)
            b.nodes.append(conv)
            nhwc = b.node("Transpose", [conv_out], hint + "_nhwc", perm=NCHW_TO_NHWC)
            conv_of[nhwc] = conv
            dynamic[(name, 0)] = nhwc
        elif op == "MaxPool":
            _check_pool_attributes(node)
            _, kh, kw, _ = _attr(node, "ksize")
            _, sh, sw, _ = _attr(node, "strides")
            nchw = b.node("Transpose", [x], hint + "_nchw", perm=NHWC_TO_NCHW)
            pooled = b.node("MaxPool", [nchw], hint, kernel_shape=[kh, kw], strides=[sh, sw])
            dynamic[(name, 0)] = b.node("Transpose", [pooled], hint + "_nhwc", perm=NCHW_TO_NHWC)
        elif op == "ResizeBilinear":
            _check_resize_attributes(node)
            height, width = [int(s) for s in value(inputs[1])]
            nchw = b.node("Transpose", [x], hint + "_nchw", perm=NHWC_TO_NCHW)
            sizes = b.constant(np.array([1, channel_count(b, nchw), height, width], np.int64), hint + "_sizes")
            resized = b.node("Resize", [nchw, "", "", sizes], hint, mode="linear",
                             coordinate_transformation_mode="half_pixel")
            dynamic[(name, 0)] = b.node("Transpose", [resized], hint + "_nhwc", perm=NCHW_TO_NHWC)
        else:
            raise ValueError(f"unsupported op {op} ({name})")

    outputs = []
    for tf_name, onnx_name in OUTPUTS:
        b.nodes.append(helper.make_node("Identity", [dynamic[(tf_name, 0)]], [onnx_name], name=onnx_name))
        outputs.append(helper.make_tensor_value_info(onnx_name, TensorProto.FLOAT, None))
    nodes = _simplified(b.nodes, [o for _, o in OUTPUTS])
    model_graph = helper.make_graph(
        nodes, "nanodet", [helper.make_tensor_value_info(INPUT_NAME, TensorProto.FLOAT, list(INPUT_SHAPE))],
        outputs, b.initializers)
    model = helper.make_model(model_graph, opset_imports=[helper.make_opsetid("", 13)],
                              producer_name="convert_nanodet")
    model = _with_used_initializers(model)
    model = onnx.shape_inference.infer_shapes(model)
    onnx.checker.check_model(model)
    return model


def graph_channels(builder, conv):
    weights = next(t for t in builder.initializers if t.name == conv.input[1])
    return weights.dims[0]


def channel_count(builder, nchw_name):
    """Channels of an NCHW tensor produced by the builder, traced back to the conv or concat behind it."""
    producers = {o: n for n in builder.nodes for o in n.output}

    def channels(name, layout_nhwc):
        node = producers[name]
        if node.op_type == "Conv":
            return graph_channels(builder, node)
        if node.op_type == "Transpose":
            return channels(node.input[0], not layout_nhwc)
        if node.op_type == "Concat" and node.attribute[0].i in ((3, -1) if layout_nhwc else (1,)):
            return sum(channels(i, layout_nhwc) for i in node.input)
        return channels(node.input[0], layout_nhwc)

    return channels(nchw_name, False)


def _simplified(nodes, graph_outputs):
    """Removes the transposes that cancel out (NCHW->NHWC->NCHW around every conv) and unused nodes."""
    producers = {o: n for n in nodes for o in n.output}
    rename = {}

    def resolve(name):
        while name in rename:
            name = rename[name]
        return name

    for node in nodes:
        node.input[:] = [resolve(i) if i else i for i in node.input]
        if node.op_type != "Transpose":
            continue
        source = producers.get(node.input[0])
        if source is None or source.op_type != "Transpose":
            continue
        inner = list(source.attribute[0].ints)
        outer = list(node.attribute[0].ints)
        composed = [inner[p] for p in outer]
        if composed == list(range(len(composed))) and node.output[0] not in graph_outputs:
            rename[node.output[0]] = source.input[0]
    for node in nodes:
        node.input[:] = [resolve(i) if i else i for i in node.input]
    used = set(graph_outputs)
    kept = []
    for node in reversed(nodes):
        if any(o in used for o in node.output):
            kept.append(node)
            used.update(i for i in node.input if i)
    return list(reversed(kept))


def _with_used_initializers(model):
    used = {i for n in model.graph.node for i in n.input}
    keep = [t for t in model.graph.initializer if t.name in used]
    del model.graph.initializer[:]
    model.graph.initializer.extend(keep)
    return model


# ----------------------------------------------------------------------------------------------------
# Reference file: the inputs and the interpreter's outputs, for the test that runs the ONNX model.
#   magic "NDREF001", uint32 case count, uint32 output count; per case: the input (float32, INPUT_SHAPE),
#   then per output in OUTPUTS order: uint32 element count and float32 values.

def reference_inputs():
    rng = np.random.default_rng(20240518)
    normal = rng.standard_normal(INPUT_SHAPE)
    # A smooth picture-like input: gradients and blobs, in the normalised value range.
    yy, xx = np.mgrid[0:416, 0:416] / 416.0
    smooth = np.stack([np.sin(6 * xx) + yy, np.cos(5 * yy) - xx, np.sin(3 * (xx + yy))])[None] * 1.5
    blocks = np.kron(rng.uniform(-2, 2, (1, 3, 13, 13)), np.ones((1, 1, 32, 32)))
    return [normal, smooth, blocks]


def write_reference(graph, path, inputs):
    with open(path, "wb") as f:
        f.write(REFERENCE_MAGIC)
        f.write(struct.pack("<II", len(inputs), len(OUTPUTS)))
        for image in inputs:
            image32 = np.asarray(image, np.float32)
            f.write(image32.tobytes())
            # The reference sees exactly the float32 input that ONNX Runtime will see.
            for output in run_reference(graph, image32.astype(np.float64)):
                f.write(struct.pack("<I", output.size))
                f.write(np.asarray(output, np.float32).tobytes())


def main(argv):
    if len(argv) not in (4, 5):
        sys.exit("usage: convert_nanodet.py MODEL.json MODEL.bin OUT.onnx [REFERENCE.bin]")
    graph = TfGraph(argv[1], argv[2])
    model = convert(graph)
    temporary = argv[3] + ".tmp"
    onnx.save(model, temporary)
    os.replace(temporary, argv[3])
    if len(argv) == 5:
        write_reference(graph, argv[4] + ".tmp", reference_inputs())
        os.replace(argv[4] + ".tmp", argv[4])


if __name__ == "__main__":
    main(sys.argv)
