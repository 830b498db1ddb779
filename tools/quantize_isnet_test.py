#!/usr/bin/python3
"""Unit tests of quantize_isnet.py's graph rewrites, evaluated with a small numpy convolution."""
import os
import sys
import unittest

import numpy as np
from onnx import helper, numpy_helper, TensorProto

sys.dont_write_bytecode = True  # the source tree may be read-only
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quantize_isnet  # noqa: E402


def convolution(x, w, b, pads, strides):
    """ONNX Conv for one image, zero padding, no dilation or groups."""
    top, left, bottom, right = pads
    x = np.pad(x, ((0, 0), (top, bottom), (left, right)))
    out_channels, _, kh, kw = w.shape
    rows = (x.shape[1] - kh) // strides[0] + 1
    cols = (x.shape[2] - kw) // strides[1] + 1
    y = np.zeros((out_channels, rows, cols), dtype=np.float64)
    for dy in range(kh):
        for dx in range(kw):
            patch = x[:, dy:dy + rows * strides[0]:strides[0], dx:dx + cols * strides[1]:strides[1]]
            y += np.einsum("oc,chw->ohw", w[:, :, dy, dx], patch)
    return y + (b[:, None, None] if b is not None else 0)


def evaluate(graph, x):
    """Runs a graph of Conv, QuantizeLinear (uint8), DequantizeLinear and Transpose nodes on the input."""
    values = {graph.input[0].name: x}
    values.update({t.name: numpy_helper.to_array(t) for t in graph.initializer})
    for node in graph.node:
        attributes = {a.name: helper.get_attribute_value(a) for a in node.attribute}
        inputs = [values[name] for name in node.input if name]
        if node.op_type == "Conv":
            bias = inputs[2].astype(np.float64) if len(inputs) > 2 else None
            out = convolution(inputs[0].astype(np.float64), inputs[1].astype(np.float64), bias,
                              list(attributes.get("pads", [0, 0, 0, 0])), list(attributes.get("strides", [1, 1])))
        elif node.op_type == "QuantizeLinear":
            out = np.clip(np.round(inputs[0] / inputs[1]) + inputs[2], 0, 255).astype(np.uint8)
        elif node.op_type == "DequantizeLinear":
            out = ((inputs[0].astype(np.int32) - inputs[2].astype(np.int32)) * inputs[1]).astype(np.float32)
        elif node.op_type == "Transpose":
            out = np.transpose(inputs[0], attributes["perm"])
        else:
            raise AssertionError(node.op_type)
        values[node.output[0]] = out
    return values[graph.output[0].name]


def one_convolution(weight, bias, **attributes):
    initializers = [numpy_helper.from_array(weight.astype(np.float32), "w")]
    inputs = ["x", "w"]
    if bias is not None:
        initializers.append(numpy_helper.from_array(bias.astype(np.float32), "b"))
        inputs.append("b")
    node = helper.make_node("Conv", inputs, ["y"], name="side", **attributes)
    return helper.make_graph([node], "g", [helper.make_tensor_value_info("x", TensorProto.FLOAT, None)],
                             [helper.make_tensor_value_info("y", TensorProto.FLOAT, None)], initializers)


class SplitNarrowConvolutions(unittest.TestCase):
    def setUp(self):
        self.rng = np.random.default_rng(7)
        self.x = self.rng.normal(size=(6, 9, 11))

    def assert_split_keeps_values(self, kernel, bias):
        weight = self.rng.normal(size=(1, 6, kernel, kernel))
        graph = one_convolution(weight, bias, kernel_shape=[kernel, kernel], pads=[kernel // 2] * 4)
        before = evaluate(graph, self.x)
        quantize_isnet.split_narrow_convolutions(graph)
        self.assertEqual([n.op_type for n in graph.node], ["Conv", "Conv"])
        after = evaluate(graph, self.x)
        self.assertEqual(after.shape, before.shape)
        # Weights and bias are float32 in both graphs; only the order of the sums differs.
        np.testing.assert_allclose(after, before, rtol=0, atol=1e-5)

    def test_three_by_three_with_bias_keeps_every_value_up_to_the_border(self):
        self.assert_split_keeps_values(3, np.array([0.25]))

    def test_five_by_five_without_bias(self):
        self.assert_split_keeps_values(5, None)

    def test_leaves_convolutions_it_cannot_split_as_they_are(self):
        cases = [
            (self.rng.normal(size=(2, 6, 3, 3)), dict(kernel_shape=[3, 3], pads=[1, 1, 1, 1])),
            (self.rng.normal(size=(1, 6, 3, 3)), dict(kernel_shape=[3, 3], pads=[1, 1, 1, 1], strides=[2, 2])),
            (self.rng.normal(size=(1, 6, 3, 3)), dict(kernel_shape=[3, 3], pads=[0, 0, 0, 0])),
        ]
        for weight, attributes in cases:
            graph = one_convolution(weight, None, **attributes)
            quantize_isnet.split_narrow_convolutions(graph)
            self.assertEqual(len(graph.node), 1)


def quantised_input(scale):
    """float input → QuantizeLinear → DequantizeLinear → output, as the quantised network begins."""
    initializers = [numpy_helper.from_array(np.array(scale, dtype=np.float32), "s"),
                    numpy_helper.from_array(np.array(128, dtype=np.uint8), "z")]
    nodes = [helper.make_node("QuantizeLinear", ["input", "s", "z"], ["q"]),
             helper.make_node("DequantizeLinear", ["q", "s", "z"], ["output"])]
    return helper.make_graph(nodes, "g", [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, 4, 86])],
                             [helper.make_tensor_value_info("output", TensorProto.FLOAT, None)], initializers)


class ByteInput(unittest.TestCase):
    def test_reads_interleaved_bytes_and_gives_the_network_what_the_float_input_gave(self):
        pixels = np.arange(4 * 86 * 3).reshape(1, 4, 86, 3) % 256  # every value 0..255
        planes = ((pixels.transpose(0, 3, 1, 2) - 128) / 256).astype(np.float32)
        graph = quantised_input(0.99609375 / 255 * 0.9988)  # a calibrated range a little short of the ends
        before = evaluate(graph, planes)
        quantize_isnet.byte_input(graph)
        self.assertEqual(graph.input[0].type.tensor_type.elem_type, TensorProto.UINT8)
        self.assertEqual([d.dim_value for d in graph.input[0].type.tensor_type.shape.dim], [1, 4, 86, 3])
        self.assertNotIn("QuantizeLinear", [n.op_type for n in graph.node])
        np.testing.assert_array_equal(evaluate(graph, pixels.astype(np.uint8)), before)

    def test_refuses_a_quantisation_that_would_change_the_values(self):
        graph = quantised_input(1 / 200)
        with self.assertRaises(SystemExit):
            quantize_isnet.byte_input(graph)


if __name__ == "__main__":
    unittest.main()
