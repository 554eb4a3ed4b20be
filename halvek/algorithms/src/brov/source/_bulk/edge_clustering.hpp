// _bulk's array entry point: edges, weights and labels in; new labels and the cut edges out.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "cpython/binding.hpp"

namespace brov {

inline constexpr Param kClusterEdgesParams[] = {
    {"edges", Kind::object}, {"weights", Kind::object}, {"labels", Kind::object}, {"rank_weights", Kind::flag, true, 0},
    {"labels_only", Kind::flag, true, 0}};
inline constexpr Signature kClusterEdges = signature("cluster_edges", kClusterEdgesParams,
    "cluster_edges(edges, weights, labels, rank_weights=False, labels_only=False) -> (new_labels, cut)\n\n"
    "Cluster the graph of an edge list as clusterize clusters the containers that graph_from_csr\n"
    "makes of its symmetric matrix, and give the same labels. edges is an (m, 2) int32 or int64\n"
    "array of node pairs in [0, n), n = len(labels); weights holds m positive finite float32 or\n"
    "float64 values (zero allowed with ranks); labels is an int8 array (-1 = unlabelled). Self-loops and edges given twice\n"
    "are refused. With rank_weights, each edge weighs the rank of (weight, smaller node, larger\n"
    "node), from 1. Returns the new int8 labels and a boolean mask of the edges that were cut;\n"
    "labels_only (with rank_weights) returns None for the mask and finds the same labels faster\n"
    "when the edges form a forest.");

// cluster_edges(edges, weights, labels, rank_weights=False, labels_only=False) -> (new_labels, cut)
PyObject* cluster_edges(PyObject* module, const Arguments& arguments);

}  // namespace brov
