// The array graph core shared by the cutting planners and the storage routes: adjacency lists
// flattened into offsets and targets (weights optional), the reverse index of who lists whom, and
// the test for simple forests. Plain C++ over arrays; every walk keeps an explicit stack, and long
// passes poll a stop callback.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "arrays/disjoint_sets.hpp"

namespace brov {

using i32 = std::int32_t;
using i64 = std::int64_t;

// Polls a stop callback every 2^16 steps.
class StopPoll {
public:
    StopPoll(bool (*fn)(void*), void* ctx) : fn_(fn), ctx_(ctx) {}
    // True once the callback has asked to stop.
    bool tick() {
        if ((++count_ & 0xFFFF) == 0 && fn_ && !stopped_) stopped_ = fn_(ctx_);
        return stopped_;
    }
    // For the long linear passes: leaves by exception, caught where the pass was started.
    struct Stopped {};
    void check() {
        if (tick()) stop();
    }

private:
    // Out of line, so that check() stays small enough to be inlined into every loop.
    [[noreturn]] __attribute__((noinline, cold)) static void stop() { throw Stopped{}; }

    bool (*fn_)(void*);
    void* ctx_;
    std::uint64_t count_ = 0;
    bool stopped_ = false;
};

// Node i lists sizes[i] neighbours at adjacency[i]; every index is assumed in range.
struct ListsView {
    i64 n = 0;
    const i64* const* adjacency = nullptr;
    const i32* sizes = nullptr;
};

// Counting sort of entries 0..entries-1 by key (key_of(e) < 0 leaves e out): the values of the
// entries with key k, value_of(e), end up in out[offsets[k] .. offsets[k + 1]), in entry order.
// poll() runs once per entry in each of the two passes.
template <class KeyOf, class ValueOf, class Value, class Poll>
void bucket_values(std::size_t keys, std::size_t entries, KeyOf key_of, ValueOf value_of, std::vector<i64>& offsets,
                   std::vector<Value>& out, Poll poll) {
    offsets.assign(keys + 1, 0);
    for (std::size_t e = 0; e < entries; ++e) {
        poll();
        const i64 k = key_of(e);
        if (k >= 0) ++offsets[k + 1];
    }
    for (std::size_t k = 0; k < keys; ++k) offsets[k + 1] += offsets[k];
    out.resize(offsets[keys]);
    std::vector<i64> fill(offsets.begin(), offsets.end() - 1);
    for (std::size_t e = 0; e < entries; ++e) {
        poll();
        const i64 k = key_of(e);
        if (k >= 0) out[fill[k]++] = value_of(e);
    }
}

// The same, keeping the entries' own numbers: slots[offsets[k] .. offsets[k + 1]) are the entries
// with key k.
template <class KeyOf>
void bucket_entries(std::size_t keys, std::size_t entries, KeyOf key_of, std::vector<i64>& offsets,
                    std::vector<i64>& slots, StopPoll& poll) {
    bucket_values(keys, entries, key_of, [](std::size_t e) { return static_cast<i64>(e); }, offsets, slots,
                  [&poll] { poll.check(); });
}

// Adjacency lists as arrays: node x lists targets[offsets[x] .. offsets[x] + sizes[x]).
struct Csr {
    std::vector<i64> offsets;
    std::vector<i32> sizes;
    std::vector<i32> targets;
    std::vector<float> weights;  // parallel to targets; empty when loaded without weights
    // Who lists whom, with multiplicity: for k in [rev_offsets[v], rev_offsets[v + 1]), node
    // rev_sources[k] lists v at position rev_positions[k] (in list order).
    std::vector<i64> rev_offsets;
    std::vector<i32> rev_sources;
    std::vector<i32> rev_positions;

    i32 node_count() const { return static_cast<i32>(sizes.size()); }
    std::size_t at(i32 x, i32 p) const { return offsets[x] + p; }
    i32 target(i32 x, i32 p) const { return targets[at(x, p)]; }

    // `weights` may be null.
    void load(const ListsView& lists, const float* const* list_weights, StopPoll& poll) {
        const std::size_t n = lists.n;
        offsets.assign(n + 1, 0);
        sizes.assign(lists.sizes, lists.sizes + n);
        for (std::size_t i = 0; i < n; ++i) offsets[i + 1] = offsets[i] + sizes[i];
        targets.resize(offsets[n]);
        weights.resize(list_weights ? offsets[n] : 0);
        for (std::size_t i = 0; i < n; ++i) {
            poll.check();
            std::copy(lists.adjacency[i], lists.adjacency[i] + sizes[i], targets.begin() + offsets[i]);
            if (list_weights) std::copy(list_weights[i], list_weights[i] + sizes[i], weights.begin() + offsets[i]);
        }
    }

    void index_reverse(StopPoll& poll) {
        std::vector<i64> entries;
        bucket_entries(sizes.size(), targets.size(), [this](std::size_t e) { return i64{targets[e]}; },
                       rev_offsets, entries, poll);
        std::vector<i32> owner(targets.size());
        for (i32 x = 0; x < node_count(); ++x) std::fill(owner.begin() + offsets[x], owner.begin() + offsets[x + 1], x);
        rev_sources.resize(entries.size());
        rev_positions.resize(entries.size());
        for (std::size_t k = 0; k < entries.size(); ++k) {
            rev_sources[k] = owner[entries[k]];
            rev_positions[k] = static_cast<i32>(entries[k] - offsets[rev_sources[k]]);
        }
    }
};

struct ForestEdge {
    i32 a, b;  // a < b
    i32 pos;  // position of b in a's list: the tie-break among equal weights
    float w = 0;
};

// What the forest pairing does with an edge it found: refusing it makes the answer false; a dropped
// edge is checked for symmetry but left out of the list and of the cycle test.
enum class Take { refuse, keep, drop };

// Keeps every edge the forest pairing finds.
struct AcceptAll {
    Take operator()(ForestEdge&, i32 /*position of a in b's list*/) const { return Take::keep; }
    // Asks for what the call on the edge will read of its far end b: b's entries in the node
    // tables (lists false), then in the lists those name (lists true).
    void fetch_ahead(const ForestEdge&, bool /*lists*/) const {}
};

namespace forest_detail {

// Lists up to this long are searched entry by entry; longer ones by bisection when sorted.
constexpr i32 kShortList = 16;
// Scanning long unsorted lists may cost this many steps per entry and node before the reverse
// index, a few passes over every entry, is cheaper.
constexpr i64 kScanBudget = 8;

// Collects the edges by looking each entry (i, v), i < v, up in v's list: the lists are symmetric
// with no duplicates exactly when every such entry finds v listing i, no list names a node twice,
// and there are as many entries (v, i) with v > i (the mirrors of distinct pairs are then all of
// them). Long lists are bisected when sorted and scanned otherwise, so this reads each list about
// once on trees whose few long lists are sorted or not much longer than kShortList. Returns 1 when
// the entries pair up, 0 when they do not or `accept` refuses an edge, and -1 when scanning the long
// unsorted lists would cost more than the reverse index. `accept(edge, position of a in b's list)`
// sees each edge while both lists are at hand and tells whether to keep it.
template <class Accept>
int pair_by_lookup(const ListsView& in, std::vector<ForestEdge>& edges, StopPoll& poll, Accept& accept) {
    // One pass checks each list for duplicates and takes its entries (i, v), i < v; then come their
    // lookups, each fetched a few edges ahead: v lies anywhere, so nearly every lookup would
    // otherwise wait on memory.
    i64 entries = 0, scans = 0, down = 0;
    std::vector<i64> copy;
    edges.reserve(static_cast<std::size_t>(in.n));  // a forest's edges; more only on other graphs
    for (i64 i = 0; i < in.n; ++i) {
        poll.check();
        const i64* list = in.adjacency[i];
        const i32 size = in.sizes[i];
        entries += size;
        if (size <= kShortList) {
            for (i32 p = 1; p < size; ++p)
                if (std::find(list, list + p, list[p]) != list + p) return 0;
        } else if (!std::is_sorted(list, list + size)) {
            scans += i64{size} * size;  // at most `size` lookups, each a scan
            if (scans > (i64{1} << 60)) return -1;
            copy.assign(list, list + size);
            std::sort(copy.begin(), copy.end());
            if (std::adjacent_find(copy.begin(), copy.end()) != copy.end()) return 0;
        } else if (std::adjacent_find(list, list + size) != list + size) {
            return 0;
        }
        for (i32 p = 0; p < size; ++p) {
            const i64 v = list[p];
            if (v == i) return 0;
            if (v < i) {
                ++down;
                continue;
            }
            edges.push_back(ForestEdge{static_cast<i32>(i), static_cast<i32>(v), p});
        }
    }
    if (scans > kScanBudget * (entries + in.n)) return -1;
    if (static_cast<i64>(edges.size()) != down) return 0;
    constexpr std::size_t kAhead = 16;  // of 8 to 48, 16 and 32 measured fastest
    const std::size_t count = edges.size();
    std::size_t kept = 0;
    for (std::size_t t = 0; t < count; ++t) {
        poll.check();
        if (t + 2 * kAhead < count) {
            const ForestEdge& far = edges[t + 2 * kAhead];
            __builtin_prefetch(&in.adjacency[far.b]);
            __builtin_prefetch(&in.sizes[far.b]);
            accept.fetch_ahead(far, false);
        }
        if (t + kAhead < count) {
            const ForestEdge& near = edges[t + kAhead];
            __builtin_prefetch(in.adjacency[near.b]);
            accept.fetch_ahead(near, true);
        }
        ForestEdge e = edges[t];
        const i64* other = in.adjacency[e.b];
        const i32 size = in.sizes[e.b];
        i32 q = 0;
        if (size > kShortList) {  // a miss of the bisection leaves an unsorted list to scan
            q = static_cast<i32>(std::lower_bound(other, other + size, i64{e.a}) - other);
            if (q >= size || other[q] != e.a) q = 0;
        }
        while (q < size && other[q] != e.a) ++q;
        if (q >= size) return 0;
        const Take take = accept(e, q);
        if (take == Take::refuse) return 0;
        if (take == Take::keep) edges[kept++] = e;
    }
    edges.resize(kept);
    return 1;
}

// The same by counting sort of the entries by target, for lists too long to search.
template <class Accept>
bool pair_by_reverse_index(const ListsView& in, std::vector<ForestEdge>& edges, StopPoll& poll, Accept& accept) {
    Csr csr;
    for (i64 i = 0; i < in.n; ++i) {
        poll.check();
        for (i32 p = 0; p < in.sizes[i]; ++p)
            if (in.adjacency[i][p] == i) return false;
    }
    csr.load(in, nullptr, poll);
    csr.index_reverse(poll);
    const i64 n = in.n;
    for (i64 j = 0; j < n; ++j)
        if (csr.rev_offsets[j + 1] - csr.rev_offsets[j] != csr.sizes[j]) return false;
    if (csr.targets.size() % 2 != 0) return false;
    std::vector<i32> stamp(n, -1), where(n, 0);
    edges.reserve(csr.targets.size() / 2);
    for (i32 j = 0; j < n; ++j) {
        poll.check();
        for (i32 p = 0; p < csr.sizes[j]; ++p) {
            const i32 v = csr.target(j, p);
            if (stamp[v] == j) return false;  // duplicate neighbour
            stamp[v] = j;
            where[v] = p;
        }
        // As many incoming entries as outgoing ones, and each comes from an out-neighbour: with no
        // duplicates that pairs every entry with its reverse.
        for (i64 k = csr.rev_offsets[j]; k < csr.rev_offsets[j + 1]; ++k) {
            const i32 i = csr.rev_sources[k];
            if (stamp[i] != j) return false;
            if (i < j) {
                ForestEdge e{i, j, csr.rev_positions[k]};
                const Take take = accept(e, where[i]);
                if (take == Take::refuse) return false;
                if (take == Take::keep) edges.push_back(e);
            }
        }
    }
    return true;
}

// No cycles: every edge joins two trees.
inline bool acyclic(i64 n, const std::vector<ForestEdge>& edges, StopPoll& poll) {
    DisjointSets<i32> trees(static_cast<std::size_t>(n));
    for (const ForestEdge& e : edges) {
        poll.check();
        if (!trees.join(e.a, e.b)) return false;
    }
    return true;
}

}  // namespace forest_detail

// Collects the undirected edges when the lists form a simple forest (symmetric lists, no duplicate
// neighbours, no self-loops, no cycles); false otherwise. Every index must be in range.
// `accept` may refuse an edge (the answer is then false), fill in its weight, or drop it: only
// edges whose removal keeps every cycle (those of stripped leaves) may be dropped.
template <class Accept = AcceptAll>
bool collect_forest(const ListsView& in, std::vector<ForestEdge>& edges, StopPoll& poll, Accept accept = {}) {
    edges.clear();
    const int looked_up = forest_detail::pair_by_lookup(in, edges, poll, accept);
    if (looked_up < 0) {
        edges.clear();
        if (!forest_detail::pair_by_reverse_index(in, edges, poll, accept)) return false;
    } else if (looked_up == 0) {
        return false;
    }
    return forest_detail::acyclic(in.n, edges, poll);
}

}  // namespace brov
