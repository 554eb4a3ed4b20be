// _bulk's voting trees: perturbed spanning trees of candidate pairs, each cut by the planner of
// cluster_edges, and the class votes they give every point.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "cpython/binding.hpp"

namespace brov {

inline constexpr Param kVotingTreesParams[] = {
    {"pairs", Kind::object}, {"lengths", Kind::object}, {"factors", Kind::object},       {"labels", Kind::object},
    {"n_trees", Kind::count}, {"seed", Kind::count},     {"noise", Kind::object}, {"side_discount", Kind::object},
    {"threads", Kind::count, true, 1}, {"columns", Kind::count, true, 0}};
inline constexpr Signature kVotingTrees = signature("voting_trees", kVotingTreesParams,
    "voting_trees(pairs, lengths, factors, labels, n_trees, seed, noise, side_discount, threads=1, columns=0)\n"
    "    -> votes\n\n"
    "Draw n_trees spanning trees of the candidate pairs ((m, 2) int32 or int64 node pairs in [0, n),\n"
    "n = len(labels), each pair once), each from the lengths (m non-negative float64, +inf allowed)\n"
    "times exp(noise * z), z nearly standard normal (the sum of four uniform draws, within +-3.46)\n"
    "from a generator seeded by (seed, tree): the same trees on every machine and with any number of\n"
    "threads (at most `threads` draw trees at once). Each tree is Kruskal's over the perturbed\n"
    "lengths compared as float32 (ties in pair order); its edges weigh their perturbed length times\n"
    "the pair's factor (positive, finite; factors=None: all 1) times\n"
    "1 - exp(-s / side_discount), s the smaller side's size (no discount when side_discount is 0),\n"
    "and it is cut as cluster_edges(..., rank_weights=True) cuts it. labels are int8 codes (-1 =\n"
    "unlabelled). Returns the (n, c) counts of the trees that gave each point each code, c = the\n"
    "largest code + 1 (at least 1 and `columns`): uint8 up to 254 trees (room for one more vote),\n"
    "uint16 beyond (at most 65534 trees).");

PyObject* voting_trees(PyObject* module, const Arguments& arguments);

}  // namespace brov
