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
    """Runs a graph of Conv nodes on the input."""
    values = {graph.input[0].name: x.astype(np.float64)}
    values.update({t.name: numpy_helper.to_array(t).astype(np.float64) for t in graph.initializer})
    for node in graph.node:
        assert node.op_type == "Conv", node.op_type
        attributes = {a.name: helper.get_attribute_value(a) for a in node.attribute}
        bias = values[node.input[2]] if len(node.input) > 2 and node.input[2] else None
        values[node.output[0]] = convolution(values[node.input[0]], values[node.input[1]], bias,
                                             list(attributes.get("pads", [0, 0, 0, 0])),
                                             list(attributes.get("strides", [1, 1])))
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


if __name__ == "__main__":
    unittest.main()
