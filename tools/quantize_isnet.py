#!/usr/bin/python3
"""Static int8 quantisation of the float32 ISNet segmentation model, in the QDQ form that ONNX Runtime
turns into integer convolutions.

  quantize_isnet.py probe FLOAT.onnx PROBE.onnx
      writes a copy of the model whose extra outputs are the minimum and maximum of every tensor the
      quantised model may hold in 8 bits (isnet_calibrate runs it over photos)
  quantize_isnet.py quantize FLOAT.onnx RANGES.txt INT8.onnx [--weight-bits=7] [--keep-float=narrow]
                    [--ranges=mean|extremes]
      writes the quantised model from the ranges isnet_calibrate measured
  quantize_isnet.py side FLOAT.onnx OTHER.onnx SIDE
      writes the network for a SIDE × SIDE input (a multiple of 32)

Both steps first reduce the network to the mask output (the other side outputs and the feature maps
exported beside it are dropped with the nodes that only fed them) and remove its float-to-float casts.

Every convolution but those kept in float32 gets per-output-channel int8 weights, an int32 bias and
uint8 activations on its input and output. The weights use 7 bits of magnitude by default, so that
CPUs without VNNI cannot saturate their 16-bit pair sums. A ReLU that is a convolution's only consumer
is folded into the convolution's output quantisation (a zero point of 0 clips negatives exactly as the
ReLU does). Kept in float32 by default: the convolutions with a single output channel (the side
outputs, whose values become the mask); "first" keeps the convolution that reads the picture in
float32 as well, which costs its 64-channel float output at half the input's side (about 130 MB more
at the peak) and measured no better on the quality set. A float32 convolution with a single output
channel becomes a 1 × 1 convolution with one output per kernel tap and the shifted sum of those (the
same values in about a fifth of the time). The operators between 8-bit tensors (max pooling,
resizing, concatenation, the blocks' residual sums) take 8-bit inputs and outputs too, so that ONNX
Runtime runs them on uint8 and no feature map is held in float32; what follows the float32
convolutions (the mask's resize and sigmoid) stays float32.
The quantised network reads the picture's 8-bit RGB as it is stored (1 × side × side × 3), which its
input quantisation gives back exactly; the float32 network reads (value − 128) / 256 in planes.
"""
import sys

import numpy as np
import onnx
from onnx import helper, numpy_helper

RANGE_SUFFIXES = ("__min", "__max")


def consumers(graph):
    found = {}
    for node in graph.node:
        for name in node.input:
            found.setdefault(name, []).append(node)
    return found


def float_convolutions(graph, keep_float):
    """Convolutions left in float32: "first" is the one reading the picture, "narrow" every one with a
    single output channel (the side outputs and their fusion, whose logits become the mask)."""
    initializers = {t.name: t for t in graph.initializer}
    kept = set()
    for node in graph.node:
        if node.op_type != "Conv":
            continue
        if "first" in keep_float and node.input[0] in {i.name for i in graph.input} | {"graph_input_cast_0"}:
            kept.add(node.name or node.output[0])
        if "narrow" in keep_float and initializers[node.input[1]].dims[0] == 1:
            kept.add(node.name or node.output[0])
    return kept


def quantised_tensors(graph, keep_float=()):
    """The activations held in 8 bits: every convolution's data input, and each convolution's output
    (or, when a ReLU is its only consumer, that ReLU's output, which replaces it)."""
    users = consumers(graph)
    initializers = {t.name for t in graph.initializer}
    names, folded = [], {}
    kept = float_convolutions(graph, keep_float)
    for node in graph.node:
        if node.op_type != "Conv" or (node.name or node.output[0]) in kept:
            continue
        if node.input[0] not in initializers:
            names.append(node.input[0])
        following = users.get(node.output[0], [])
        if len(following) == 1 and following[0].op_type == "Relu":
            folded[node.output[0]] = following[0]
            names.append(following[0].output[0])
        else:
            names.append(node.output[0])
    return list(dict.fromkeys(names)), folded


def only_the_mask_output(graph):
    """Drops every graph output but the mask ("output") and the nodes that fed only the others: the
    runtime computes every graph output and holds each one's tensor (among them 64-channel feature
    maps of half the input's side) until the run ends, although the service reads the mask alone."""
    kept = [o for o in graph.output if o.name == "output"]
    if not kept:
        sys.exit("quantize_isnet: the model has no output named \"output\"")
    del graph.output[:]
    graph.output.extend(kept)
    while True:
        used = {name for node in graph.node for name in node.input} | {"output"}
        dead = [node for node in graph.node if not any(name in used for name in node.output)]
        if not dead:
            break
        for node in dead:
            graph.node.remove(node)
    used = {name for node in graph.node for name in node.input}
    for t in [t for t in graph.initializer if t.name not in used]:
        graph.initializer.remove(t)


def renamed_input(graph, old, new):
    """Makes every node that reads tensor `old` read `new` instead."""
    for node in graph.node:
        for k, name in enumerate(node.input):
            if name == old:
                node.input[k] = new


def without_float_casts(graph):
    """Removes the casts from float32 to float32 that a half-precision round trip left around the
    resizes and outputs: they copy whole feature maps and would sit between 8-bit operators."""
    float_graph_inputs = {i.name for i in graph.input if i.type.tensor_type.elem_type == onnx.TensorProto.FLOAT}
    producers = {name: node for node in graph.node for name in node.output}
    float_ops = {"Conv", "Relu", "Add", "Concat", "Resize", "MaxPool", "Sigmoid", "Cast"}
    outputs = {o.name for o in graph.output}
    for node in list(graph.node):
        to = [a.i for a in node.attribute if a.name == "to"]
        if node.op_type != "Cast" or to != [onnx.TensorProto.FLOAT]:
            continue
        source, target = node.input[0], node.output[0]
        producer = producers.get(source)
        if source not in float_graph_inputs and (producer is None or producer.op_type not in float_ops):
            continue
        graph.node.remove(node)
        if target in outputs:
            # The graph output keeps its name: the producer now makes it.
            if producer is None:
                sys.exit("quantize_isnet: a graph input cast straight to an output")
            producer.output[list(producer.output).index(source)] = target
            renamed_input(graph, source, target)
            producers[target] = producer
        else:
            renamed_input(graph, target, source)


def simplified(graph):
    only_the_mask_output(graph)
    without_float_casts(graph)


def sum_outputs(graph):
    """The outputs of the additions (the residual sums of the network's blocks), whose ranges only
    calibration can tell."""
    return [node.output[0] for node in graph.node if node.op_type == "Add"]


def probe(source, destination):
    model = onnx.load(source)
    graph = model.graph
    simplified(graph)
    names, _ = quantised_tensors(graph)
    names = list(dict.fromkeys(names + sum_outputs(graph)))
    for name in names:
        for op, suffix in zip(("ReduceMin", "ReduceMax"), RANGE_SUFFIXES):
            graph.node.append(helper.make_node(op, [name], [name + suffix], keepdims=0))
            graph.output.append(helper.make_tensor_value_info(name + suffix, onnx.TensorProto.FLOAT, []))
    onnx.save(model, destination)


def activation_parameters(low, high):
    """uint8 scale and zero point covering [low, high] and always 0."""
    low, high = min(low, 0.0), max(high, 0.0)
    scale = (high - low) / 255.0 if high > low else 1.0
    zero = int(np.clip(round(-low / scale), 0, 255))
    return np.float32(scale), np.uint8(zero)


def quantize(source, ranges_path, destination, weight_bits=7, keep_float=("narrow",), extremes=False):
    model = onnx.load(source)
    graph = model.graph
    ranges = {}
    with open(ranges_path) as f:
        for line in f:
            fields = line.split()
            columns = (3, 4) if extremes and len(fields) == 5 else (1, 2)
            ranges[fields[0]] = (float(fields[columns[0]]), float(fields[columns[1]]))
    simplified(graph)
    names, folded = quantised_tensors(graph, keep_float)
    kept = float_convolutions(graph, keep_float)
    sums = sum_outputs(graph)
    missing = [n for n in names + sums if n not in ranges]
    if missing:
        sys.exit(f"quantize_isnet: no range for {len(missing)} tensors, e.g. {missing[0]}")
    initializers = {t.name: t for t in graph.initializer}
    params = {name: activation_parameters(*ranges[name]) for name in names}
    # The operators between the convolutions run on 8-bit tensors as well, so that no feature map
    # is held in float32: max pooling and resizing keep their input's quantisation, a concatenation
    # takes the union of its inputs' ranges, an addition its calibrated range.
    eight_bit = set(names)
    derived = []
    for node in graph.node:
        data = [name for name in node.input if name]
        if node.op_type in ("MaxPool", "Resize") and data[0] in eight_bit:
            params[node.output[0]] = params[data[0]]
        elif node.op_type == "Add" and all(name in eight_bit for name in data):
            params[node.output[0]] = activation_parameters(*ranges[node.output[0]])
        elif node.op_type == "Concat" and all(name in eight_bit for name in data):
            lows = [-float(params[name][0]) * float(params[name][1]) for name in data]
            highs = [float(params[name][0]) * (255 - float(params[name][1])) for name in data]
            params[node.output[0]] = activation_parameters(min(lows), max(highs))
        else:
            continue
        eight_bit.add(node.output[0])
        derived.append(node)
    new_initializers, new_nodes = [], []

    def constant(name, array):
        new_initializers.append(numpy_helper.from_array(array, name))
        return name

    def qdq(source_name, target_name, name):
        """Quantises source_name with the parameters of `name` and dequantises it as target_name."""
        scale, zero = params[name]
        s = constant(name + "__scale", np.array(scale, dtype=np.float32))
        z = constant(name + "__zero", np.array(zero, dtype=np.uint8))
        new_nodes.append(helper.make_node("QuantizeLinear", [source_name, s, z], [name + "__q"]))
        new_nodes.append(helper.make_node("DequantizeLinear", [name + "__q", s, z], [target_name]))

    dropped = set()
    # Convolution outputs are quantised where they are made; other data inputs get their own pair.
    produced = {n.output[0] for n in graph.node if n.op_type == "Conv" and (n.name or n.output[0]) not in kept}
    produced |= {r.output[0] for r in folded.values()}
    produced |= {node.output[0] for node in derived}
    renamed = {}  # data inputs made elsewhere: tensor -> its dequantised copy
    for node in list(graph.node):
        data = node.input[0] if node.op_type == "Conv" and (node.name or node.output[0]) not in kept else None
        if data in names and data not in renamed and data not in produced:
            renamed[data] = data + "__dq"
            qdq(data, data + "__dq", data)
    for node in graph.node:
        if node.op_type != "Conv" or id(node) in dropped or (node.name or node.output[0]) in kept:
            continue
        data = node.input[0]
        if data in renamed:
            node.input[0] = renamed[data]
        x_scale = params[data][0] if data in params else None
        weight = numpy_helper.to_array(initializers[node.input[1]]).astype(np.float32)
        channels = weight.shape[0]
        magnitude = np.abs(weight.reshape(channels, -1)).max(axis=1)
        top = 2 ** (weight_bits - 1) - 1
        w_scale = np.where(magnitude > 0, magnitude / top, 1.0).astype(np.float32)
        shape = (channels,) + (1,) * (weight.ndim - 1)
        w_int = np.clip(np.round(weight / w_scale.reshape(shape)), -top, top).astype(np.int8)
        base = node.output[0]
        w_name = constant(base + "__w", w_int)
        ws_name = constant(base + "__w_scale", w_scale)
        wz_name = constant(base + "__w_zero", np.zeros(channels, dtype=np.int8))
        new_nodes.append(helper.make_node("DequantizeLinear", [w_name, ws_name, wz_name], [base + "__w_dq"], axis=0))
        node.input[1] = base + "__w_dq"
        if len(node.input) > 2 and node.input[2] and x_scale is not None:
            bias = numpy_helper.to_array(initializers[node.input[2]]).astype(np.float32)
            b_scale = (w_scale * x_scale).astype(np.float32)
            b_int = np.round(bias / b_scale).astype(np.int64)
            b_int = np.clip(b_int, -(2**31), 2**31 - 1).astype(np.int32)
            b_name = constant(base + "__b", b_int)
            bs_name = constant(base + "__b_scale", b_scale)
            bz_name = constant(base + "__b_zero", np.zeros(channels, dtype=np.int32))
            new_nodes.append(helper.make_node("DequantizeLinear", [b_name, bs_name, bz_name], [base + "__b_dq"], axis=0))
            node.input[2] = base + "__b_dq"
        if base in folded:
            relu = folded[base]
            dropped.add(id(relu))
            # The ReLU's output name now comes from the dequantised convolution output.
            qdq(base, relu.output[0], relu.output[0])
        else:
            node.output[0] = base + "__float"
            params[base + "__float"] = params[base]
            qdq(base + "__float", base, base)

    for node in derived:
        output = node.output[0]
        node.output[0] = output + "__float"
        params[output + "__float"] = params[output]
        qdq(output + "__float", output, output)

    kept = [n for n in graph.node if id(n) not in dropped]
    del graph.node[:]
    graph.node.extend(kept + new_nodes)
    graph.initializer.extend(new_initializers)
    split_narrow_convolutions(graph)
    byte_input(graph)
    sort_topologically(graph)
    used = {name for node in graph.node for name in node.input}
    unused = [t for t in graph.initializer if t.name not in used]
    for t in unused:
        graph.initializer.remove(t)
    if not any(o.domain in ("", "ai.onnx") and o.version >= 13 for o in model.opset_import):
        sys.exit("quantize_isnet: per-channel QDQ needs opset 13 or later")
    onnx.checker.check_model(model)
    onnx.save(model, destination)


def split_narrow_convolutions(graph):
    """Rewrites every float32 convolution with a single output channel and a k × k kernel (stride 1,
    "same" padding) as a 1 × 1 convolution to k² channels, one per tap, followed by a k × k
    convolution that only shifts and sums them (its weights are 0 and 1, the bias is the original's).
    The result is the same up to the order of the float additions. ONNX Runtime computes a float
    convolution in blocks of eight output channels, so a single channel costs eight; the 1 × 1 step
    costs k² channels at one tap each, and the sum k² multiply-adds per pixel. The new nodes are
    appended: the caller sorts the graph."""
    initializers = {t.name: t for t in graph.initializer}
    for node in list(graph.node):
        if node.op_type != "Conv" or node.input[1] not in initializers:
            continue
        weight = numpy_helper.to_array(initializers[node.input[1]])
        if weight.shape[0] != 1:
            continue
        attributes = {a.name: helper.get_attribute_value(a) for a in node.attribute}
        k = weight.shape[2]
        pads = list(attributes.get("pads", [0, 0, 0, 0]))
        if (weight.shape[3] != k or attributes.get("group", 1) != 1 or list(attributes.get("strides", [1, 1])) != [1, 1]
                or list(attributes.get("dilations", [1, 1])) != [1, 1] or pads != [k // 2] * 4 or k % 2 == 0):
            continue
        taps = weight[0].transpose(1, 2, 0).reshape(k * k, -1)[:, :, None, None].astype(np.float32)
        shift = np.zeros((1, k * k, k, k), dtype=np.float32)
        for tap in range(k * k):
            shift[0, tap, tap // k, tap % k] = 1
        base = node.output[0]
        graph.initializer.extend([numpy_helper.from_array(taps, base + "__taps"),
                                  numpy_helper.from_array(shift, base + "__shift")])
        per_tap = helper.make_node("Conv", [node.input[0], base + "__taps"], [base + "__per_tap"],
                                   kernel_shape=[1, 1], name=(node.name or base) + "_taps")
        summed = helper.make_node("Conv", [base + "__per_tap", base + "__shift"] + list(node.input[2:]), [base],
                                  kernel_shape=[k, k], pads=pads, name=(node.name or base) + "_sum")
        graph.node.remove(node)
        graph.node.extend([per_tap, summed])


def byte_input(graph):
    """Makes the graph read the picture as it is stored: 8-bit RGB, interleaved (1 × side × side × 3).
    The float input is (value − 128) / 256, and its quantisation gives every value 0..255 back
    exactly, so the 8-bit input replaces the float input and its QuantizeLinear; a Transpose to
    planes takes its place, which ONNX Runtime cancels against the one its channels-last
    convolutions need. Exits when the calibrated quantisation would not give the values back."""
    quantizers = [n for n in graph.node if n.op_type == "QuantizeLinear" and n.input[0] == "input"]
    readers = [n for n in graph.node if "input" in n.input]
    if len(quantizers) != 1 or len(readers) != 1:
        sys.exit("quantize_isnet: the input is not read by exactly one QuantizeLinear")
    quantizer = quantizers[0]
    initializers = {t.name: numpy_helper.to_array(t) for t in graph.initializer}
    scale, zero = float(initializers[quantizer.input[1]]), int(initializers[quantizer.input[2]])
    values = np.arange(256)
    floats = ((values - 128) / 256).astype(np.float32)
    quantised = np.clip(np.round(floats / np.float32(scale)) + zero, 0, 255)
    if not np.array_equal(quantised, values):
        sys.exit("quantize_isnet: the input's quantisation does not give 8-bit values back exactly")
    source = [i for i in graph.input if i.name == "input"][0]
    dims = source.type.tensor_type.shape.dim
    if len(dims) != 4 or dims[1].dim_value != 3:
        sys.exit("quantize_isnet: the input is not 1 × 3 × height × width")
    height, width = (d.dim_value if d.HasField("dim_value") else d.dim_param for d in (dims[2], dims[3]))
    graph.node.remove(quantizer)
    graph.node.insert(0, helper.make_node("Transpose", ["input"], [quantizer.output[0]], perm=[0, 3, 1, 2],
                                          name="input_to_planes"))
    graph.input.remove(source)
    graph.input.insert(0, helper.make_tensor_value_info("input", onnx.TensorProto.UINT8, [1, height, width, 3]))


def sort_topologically(graph):
    available = {i.name for i in graph.input} | {t.name for t in graph.initializer} | {""}
    pending, ordered = list(graph.node), []
    while pending:
        progress = []
        for node in pending:
            if all(name in available for name in node.input):
                ordered.append(node)
                available.update(node.output)
            else:
                progress.append(node)
        if len(progress) == len(pending):
            sys.exit("quantize_isnet: the quantised graph has a cycle or a missing input")
        pending = progress
    del graph.node[:]
    graph.node.extend(ordered)


def with_side(source, destination, side):
    """The network for a side × side input: the traced resize targets (pairs of powers of two from 32
    to 1024, sizes at a 1024 input) scale with it, and the recorded shapes are dropped."""
    if side % 32:
        sys.exit("quantize_isnet: the side must be a multiple of 32")
    model = onnx.load(source)
    graph = model.graph
    for node in graph.node:
        if node.op_type != "Constant":
            continue
        value = numpy_helper.to_array(node.attribute[0].t)
        if value.shape == (2,) and value[0] == value[1] and value[0] in (32, 64, 128, 256, 512, 1024):
            node.attribute[0].t.CopyFrom(numpy_helper.from_array((value * side // 1024).astype(value.dtype)))
    del graph.value_info[:]
    for info in list(graph.input) + list(graph.output):
        dims = info.type.tensor_type.shape.dim
        dims[2].dim_value = side
        dims[3].dim_value = side
    onnx.save(model, destination)


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "side":
        with_side(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif len(sys.argv) == 4 and sys.argv[1] == "probe":
        probe(sys.argv[2], sys.argv[3])
    elif len(sys.argv) >= 5 and sys.argv[1] == "quantize":
        options = dict(arg.lstrip("-").split("=", 1) for arg in sys.argv[5:])
        quantize(sys.argv[2], sys.argv[3], sys.argv[4], weight_bits=int(options.get("weight-bits", 7)),
                 keep_float=tuple(filter(None, options.get("keep-float", "narrow").split(","))),
                 extremes=options.get("ranges", "mean") == "extremes")
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
