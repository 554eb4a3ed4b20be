// Exact Euclidean minimum spanning tree of points in the plane: Boruvka rounds over a uniform grid.
//
// The points are counting-sorted into square cells of a few points each (row by row). Every
// point's k nearest neighbours come from rings of cells around its own, on all threads. The
// rounds then read each point's nearest other-component neighbour from its list while the list
// has one, and otherwise search the grid through blocks of 2^L x 2^L cells that know whether all
// their points belong to one component (skipped), bounded by the best edge its component has so
// far. The same strict edge order as emst.hpp: (squared length, smaller position, larger
// position), positions in the grid's order, so the tree is unique even when lengths tie.
#pragma once

#include <cstdint>
#include <vector>

#include "arrays/emst.hpp"

namespace brov {

// points: n rows of 2 float64 coordinates below 2 in magnitude (emst.cpp scales them). Writes the
// n - 1 edges as row pairs (smaller first) and returns how many it wrote; or returns -1 without
// writing when the grid does not suit the points (most of them in few cells: strongly clustered
// or repeated points, which the k-d tree serves better). `owned`, when given, holds `points` and is
// freed once the grid holds its own copy. Polls and threads as euclidean_mst_edges does, and hands
// out the neighbour lists `neighbours` asks for as it does (copies of a point are listed too).
template <typename Index, typename Out>
std::int64_t plane_mst_edges(const double* points, Index n, Out* edges, const EmstCheckpoint& checkpoint,
                             int max_threads, std::vector<double>* owned, EmstNeighbours* neighbours = nullptr);

}  // namespace brov
