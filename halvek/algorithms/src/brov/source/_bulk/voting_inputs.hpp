// _bulk's helpers of the voting trees' inputs: the points' nearest neighbours, the candidate pairs
// they give with the tree's edges, and the spanning tree that the votes draw over those pairs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "cpython/binding.hpp"

namespace brov {

inline constexpr Param kNearestParams[] = {{"points", Kind::object}, {"k", Kind::count}, {"threads", Kind::count, true, 1}};
inline constexpr Signature kNearest = signature("nearest_neighbours", kNearestParams,
    "nearest_neighbours(points, k, threads=1) -> (index, squared)\n\n"
    "Each point's k nearest other points through a k-d tree: points is a C-contiguous float64 (n, d)\n"
    "array of finite values; index is (n, k) int64 (nearest first, ties by index, -1 where fewer\n"
    "than k other points exist) and squared their squared distances (inf where -1). The same\n"
    "answer with any number of threads (at most `threads` search at once).");

inline constexpr Param kCandidateParams[] = {{"neighbours", Kind::object}, {"edges", Kind::object}, {"points", Kind::object}};
inline constexpr Signature kCandidatePairs = signature("candidate_pairs", kCandidateParams,
    "candidate_pairs(neighbours, edges, points) -> (pairs, lengths)\n\n"
    "The distinct pairs (smaller, larger) of the n points (a C-contiguous float64 (n, d) array) that\n"
    "join a point and one of its neighbours (a C-contiguous (n, k) int32 or int64 array, -1 for none)\n"
    "or that are an edge ((m, 2) int32 or int64), sorted: a (p, 2) int32 array, and their Euclidean lengths\n"
    "(float64; the caller keeps the squares in range). Pairs of a point with itself are left out.");

inline constexpr Param kVotedTreeParams[] = {
    {"pairs", Kind::object}, {"lengths", Kind::object}, {"votes", Kind::object}, {"tie_break", Kind::object},
    {"undecided", Kind::object}};
inline constexpr Signature kVotedTree = signature("voted_tree", kVotedTreeParams,
    "voted_tree(pairs, lengths, votes, tie_break, undecided) -> (positions, values)\n\n"
    "The spanning forest the votes draw: Kruskal's over the pairs ((m, 2) int32 or int64 in [0, n), no\n"
    "self-pair) valued by how far apart their ends' vote shares lie (total variation, 0 to 1; votes\n"
    "an (n, c) uint8 or uint16 array of counts per point and class) plus tie_break times the pair's\n"
    "length over the longest finite one (lengths: m float64, no NaN, +inf allowed); values are\n"
    "compared as float32, ties going to the pair given first. Returns the int64 positions in `pairs`\n"
    "of its edges, in increasing order, and their float64 values, each then mixed with how undecided\n"
    "the edge's votes are: (1 - undecided) * value + undecided * (1 - the largest share of a class in\n"
    "the mean of its ends' shares), undecided in [0, 1].");

inline constexpr Param kSmoothedParams[] = {
    {"pairs", Kind::object}, {"votes", Kind::object}, {"labels", Kind::object}, {"weight", Kind::object},
    {"steps", Kind::count}, {"scale", Kind::count}, {"nearest", Kind::object, true}, {"lean", Kind::object, true}};
inline constexpr Signature kSmoothedVotes = signature("smoothed_votes", kSmoothedParams,
    "smoothed_votes(pairs, votes, labels, weight, steps, scale, nearest=None, lean=None) -> shares\n\n"
    "Each point's vote shares (votes: an (n, c) uint8 or uint16 array of counts; a row of none shares\n"
    "nothing) averaged `steps` times with its pair partners' (pairs: (m, 2) int32 or int64 in [0, n),\n"
    "no self-pair, each pair once): s = (1 - weight) * own + weight * the partners' mean of s, each\n"
    "pair weighing 1 minus the total variation between its ends' own shares; weight in [0, 1].\n"
    "Labelled points (labels: n int8 codes, -1 = unlabelled) and points whose pairs all weigh 0\n"
    "keep their own shares. With nearest (n int8 codes in [-1, c), -1 = none) and lean in [0, 1], a\n"
    "point's own shares are first (1 - lean) * its votes' shares + lean on the class nearest names.\n"
    "Returns the shares as (n, c) uint16 counts out of `scale` (1 to 65535), rounded; computed in\n"
    "float32, the same on every run.");

inline constexpr Param kNearestLabelsParams[] = {{"pairs", Kind::object}, {"lengths", Kind::object}, {"labels", Kind::object}};
inline constexpr Signature kNearestLabels = signature("nearest_labels", kNearestLabelsParams,
    "nearest_labels(pairs, lengths, labels) -> nearest\n\n"
    "The label (labels: n int8 codes, -1 = unlabelled) of each point's nearest labelled point by the\n"
    "sum of the lengths (m float64, no NaN or negative; +inf never walked) along the pairs ((m, 2)\n"
    "int32 or int64 in [0, n)): an n int8 array, -1 where no labelled point is reachable. Ties go to\n"
    "the labelled point reached first: the same answer on every run.");

PyObject* nearest_neighbours(PyObject* module, const Arguments& arguments);
PyObject* candidate_pairs(PyObject* module, const Arguments& arguments);
PyObject* voted_tree(PyObject* module, const Arguments& arguments);
PyObject* smoothed_votes(PyObject* module, const Arguments& arguments);
PyObject* nearest_labels(PyObject* module, const Arguments& arguments);

}  // namespace brov
