// The lists the exact planner cuts and its subgraph build reads: the input's lists copied into a
// Csr (weights when it has them), each node's label, and who lists whom, kept current as edges
// are cut.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "arrays/csr.hpp"
#include "arrays/cut_types.hpp"

namespace brov {
namespace cut_detail {

class CutLists {
public:
    // Copies the lists of `in`, with its weights when `with_weights`.
    CutLists(const CutInput& in, bool with_weights, StopPoll& poll) {
        const ListsView lists{in.n, in.adjacency, in.sizes};
        csr_.load(lists, with_weights ? in.weights : nullptr, poll);
        csr_.index_reverse(poll);
        const i32 n = csr_.node_count();
        labels_.resize(n);
        listed_by_.resize(n);
        for (i32 i = 0; i < n; ++i) {
            labels_[i] = label_at(in, i);
            listed_by_[i] = static_cast<i32>(csr_.rev_offsets[i + 1] - csr_.rev_offsets[i]);
        }
    }

    i32 node_count() const { return csr_.node_count(); }
    std::size_t entry_count() const { return csr_.targets.size(); }  // as loaded, cut or not
    i32 size(i32 x) const { return csr_.sizes[x]; }
    // Where entry p of x's list lives: an index into any table kept per entry.
    std::size_t entry(i32 x, i32 p) const { return csr_.at(x, p); }
    i32 neighbor(i32 x, i32 p) const { return csr_.target(x, p); }
    float weight(i32 x, i32 p) const { return csr_.weights[entry(x, p)]; }
    std::int8_t label_of(i32 x) const { return labels_[x]; }
    // The nodes that list x, once per entry.
    const i32* listers_begin(i32 x) const { return csr_.rev_sources.data() + csr_.rev_offsets[x]; }
    const i32* listers_end(i32 x) const { return listers_begin(x) + listed_by_[x]; }

    // The driver's four pops: the first b of a's list and the first a of b's list go (both
    // positions found before either entry goes), later entries shifting down.
    void remove_edge(i32 a, i32 b) {
        const i32 pa = position_of(a, b);
        const i32 pb = position_of(b, a);
        erase_entry(a, pa);
        erase_entry(b, pb);
        forget_lister(b, a);
        forget_lister(a, b);
    }

private:
    i32 position_of(i32 x, i32 v) const {
        for (i32 p = 0; p < size(x); ++p)
            if (neighbor(x, p) == v) return p;
        return -1;
    }

    void erase_entry(i32 x, i32 p) {
        const auto list = csr_.targets.begin() + csr_.offsets[x];
        std::copy(list + p + 1, list + size(x), list + p);
        if (!csr_.weights.empty()) {
            const auto weights = csr_.weights.begin() + csr_.offsets[x];
            std::copy(weights + p + 1, weights + size(x), weights + p);
        }
        --csr_.sizes[x];
    }

    // x no longer lists v once.
    void forget_lister(i32 v, i32 x) {
        const i64 b = csr_.rev_offsets[v];
        i32& s = listed_by_[v];
        for (i64 k = b; k < b + s; ++k) {
            if (csr_.rev_sources[k] == x) {
                csr_.rev_sources[k] = csr_.rev_sources[b + s - 1];
                --s;
                return;
            }
        }
    }

    Csr csr_;  // shrinks as edges are cut
    std::vector<std::int8_t> labels_;
    std::vector<i32> listed_by_;  // live reverse entries per node, at the start of its range
};

}  // namespace cut_detail
}  // namespace brov
