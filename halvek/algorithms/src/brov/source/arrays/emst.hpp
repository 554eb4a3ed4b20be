// Exact Euclidean minimum spanning tree of a point set: Boruvka rounds over a k-d tree.
//
// Each round finds, for every component, its shortest edge to another component and joins them.
// The nearest other-component point of each point is searched in a k-d tree whose nodes know when
// all their points belong to one component (those subtrees are skipped), bounded by the best edge
// its component has so far. A point's nearest other-component neighbour stays valid across rounds
// as long as that neighbour is still in another component (the candidate set only shrinks), and
// its distance stays a lower bound once it is not; both spare most searches in later rounds.
//
// Edges are ordered by (squared length, smaller end, larger end), a strict total order, so the tree
// is the unique minimum of that order even when lengths tie. Pure C++: no Python inside.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace brov {

// Called with the fraction of the work done (0..1) after each round, and with -1 every few
// thousand searches; it may throw to stop the build (everything the build holds is released).
using EmstCheckpoint = std::function<void(double)>;

// points: n rows of d float64 coordinates, row-major, finite, of any magnitude (the build works on
// them divided by a power of two). Writes n - 1 edges as pairs of row indices (smaller first) into
// edges (2 * (n - 1) entries) and returns how many it wrote: n - 1 (or 0), unless something kept
// the rounds from joining every point. The tree build polls too: `points` must not change at a
// checkpoint (pass memory of your own). max_threads caps the threads of the neighbour searches
// (this one included); 0 means up to 8, as many as the machine has.
std::int64_t euclidean_mst_edges(const double* points, std::int64_t n, int d, std::int64_t* edges,
                                 const EmstCheckpoint& checkpoint, int max_threads = 0);

// Each point's nearest other points as the build's first round lists them, for callers that would
// otherwise search again: set `count` before the build, which fills the rest.
struct EmstNeighbours {
    int count = 0;  // asked: neighbours listed per point (1..64; 0 asks for none)
    int kept = 0;   // asked: how many of them `index` keeps per point (at most count)
    // n x kept input rows, nearest first (equal distances in an internal order), -1 where fewer exist.
    std::vector<std::int32_t> index;
    std::vector<double> last;  // n distances to the count-th nearest, in the input's units (inf where fewer)
    // Whether the lists were kept: not when some points are identical (the build lists one copy
    // only) or n passes 32-bit indices.
    bool found = false;
};

// The same tree from points the build takes over: it scales them in place and frees them once it
// holds its own copies (at 10^8 points that is 1.6 GB less at the peak). With 32-bit edges, n
// must be below 2^31.
// `neighbours`, when given, receives the lists it asks for.
std::int64_t euclidean_mst_edges(std::vector<double>& points, std::int64_t n, int d, std::int32_t* edges,
                                 const EmstCheckpoint& checkpoint, int max_threads = 0,
                                 EmstNeighbours* neighbours = nullptr);
std::int64_t euclidean_mst_edges(std::vector<double>& points, std::int64_t n, int d, std::int64_t* edges,
                                 const EmstCheckpoint& checkpoint, int max_threads = 0,
                                 EmstNeighbours* neighbours = nullptr);

}  // namespace brov
