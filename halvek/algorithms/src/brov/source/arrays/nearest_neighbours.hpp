// The k nearest other points of every point, through a k-d tree whose leaves hold their points
// side by side: queried leaf by leaf, consecutive queries read the same few leaves. For the voting
// trees' candidate pairs and local scales, in few coordinates. Pure C++, no recursion.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace brov {

class NeighbourSearch {
public:
    // points: n rows of d finite coordinates, row-major (copied).
    NeighbourSearch(const double* points, std::int64_t n, int d)
        : n_(n), d_(d), coords_(points, points + static_cast<std::size_t>(n) * d) {
        order_.resize(static_cast<std::size_t>(n));
        for (std::int64_t i = 0; i < n; ++i) order_[i] = static_cast<std::int32_t>(i);
        if (n > 0) build();
    }

    // For every point, its k nearest other points (nearest first, ties by index) into index (n x k,
    // -1 where fewer exist) and their squared distances into squared (inf there). Queries run on
    // up to `threads` threads, in leaf order; each point's answer depends on nothing else, so the
    // thread count changes nothing. stop() is polled by every thread between blocks of queries.
    template <class Stop>
    void all_nearest(int k, int threads, std::int64_t* index, double* squared, Stop stop) const {
        std::atomic<std::int64_t> next{0};
        std::atomic<bool> quit{false};
        constexpr std::int64_t kBlock = 2048;
        auto work = [&] {
            std::vector<std::pair<double, std::int32_t>> best;
            std::vector<std::pair<double, std::int32_t>> stack;
            for (std::int64_t begin; !quit && (begin = next.fetch_add(kBlock)) < n_ && !stop();)
                for (std::int64_t r = begin; r < std::min(n_, begin + kBlock); ++r) {
                    query(r, k, best, stack);
                    const std::int64_t row = order_[r];
                    for (int j = 0; j < k; ++j) {
                        const bool found = j < static_cast<int>(best.size());
                        index[row * k + j] = found ? best[j].second : -1;
                        squared[row * k + j] = found ? best[j].first : std::numeric_limits<double>::infinity();
                    }
                }
        };
        std::vector<std::thread> helpers;
        // Joins the helpers however this is left: stop() may end this thread by unwinding it.
        struct Joined {
            std::atomic<bool>& quit;
            std::vector<std::thread>& threads;
            ~Joined() {
                quit = true;
                for (auto& thread : threads)
                    if (thread.joinable()) thread.join();
            }
        } joined{quit, helpers};
        for (int t = 1; t < threads; ++t) {
            try {
                helpers.emplace_back(work);
            } catch (const std::system_error&) {
                break;
            }
        }
        work();
    }

private:
    static constexpr std::int64_t kLeafSize = 32;
    struct Node {
        std::int64_t begin, end;   // rows of order_ under the node
        std::int32_t left, right;  // children, -1 for a leaf
    };

    // Splits every node of more than kLeafSize points at the median of its widest coordinate (ties
    // by point), moving the rows' coordinates along so that every pass reads memory in order.
    void build() {
        struct Split {
            double value;
            std::int32_t id, row;
            bool operator<(const Split& other) const { return value < other.value || (value == other.value && id < other.id); }
        };
        std::vector<Split> splits;
        std::vector<double> moved;
        std::vector<std::int32_t> moved_ids;
        nodes_.push_back(Node{0, n_, -1, -1});
        for (std::size_t at = 0; at < nodes_.size(); ++at) {
            const Node node = nodes_[at];
            if (node.end - node.begin <= kLeafSize) continue;
            std::vector<double> low(d_, std::numeric_limits<double>::infinity()), high(d_, -low[0]);
            for (std::int64_t r = node.begin; r < node.end; ++r)
                for (int c = 0; c < d_; ++c) {
                    low[c] = std::min(low[c], coords_[r * d_ + c]);
                    high[c] = std::max(high[c], coords_[r * d_ + c]);
                }
            int widest = 0;
            for (int c = 1; c < d_; ++c)
                if (high[c] - low[c] > high[widest] - low[widest]) widest = c;
            splits.clear();
            for (std::int64_t r = node.begin; r < node.end; ++r)
                splits.push_back(Split{coords_[r * d_ + widest], order_[r], static_cast<std::int32_t>(r)});
            const std::int64_t middle = node.begin + (node.end - node.begin) / 2;
            std::nth_element(splits.begin(), splits.begin() + (middle - node.begin), splits.end());
            moved.resize(splits.size() * d_);
            moved_ids.resize(splits.size());
            for (std::size_t j = 0; j < splits.size(); ++j) {
                std::copy_n(&coords_[static_cast<std::size_t>(splits[j].row) * d_], d_, &moved[j * d_]);
                moved_ids[j] = splits[j].id;
            }
            std::copy(moved.begin(), moved.end(), coords_.begin() + node.begin * d_);
            std::copy(moved_ids.begin(), moved_ids.end(), order_.begin() + node.begin);
            nodes_[at].left = static_cast<std::int32_t>(nodes_.size());
            nodes_.push_back(Node{node.begin, middle, -1, -1});
            nodes_[at].right = static_cast<std::int32_t>(nodes_.size());
            nodes_.push_back(Node{middle, node.end, -1, -1});
        }
        // Each node's box, children after parents: filled backwards.
        boxes_.assign(nodes_.size() * 2 * d_, 0.0);
        for (std::size_t at = nodes_.size(); at-- > 0;) {
            double* box = &boxes_[at * 2 * d_];
            const Node& node = nodes_[at];
            if (node.left < 0) {
                for (int c = 0; c < d_; ++c) box[c] = std::numeric_limits<double>::infinity(), box[d_ + c] = -box[c];
                for (std::int64_t r = node.begin; r < node.end; ++r)
                    for (int c = 0; c < d_; ++c) {
                        const double x = coords_[r * d_ + c];
                        box[c] = std::min(box[c], x);
                        box[d_ + c] = std::max(box[d_ + c], x);
                    }
            } else {
                const double* a = &boxes_[static_cast<std::size_t>(node.left) * 2 * d_];
                const double* b = &boxes_[static_cast<std::size_t>(node.right) * 2 * d_];
                for (int c = 0; c < d_; ++c) box[c] = std::min(a[c], b[c]), box[d_ + c] = std::max(a[d_ + c], b[d_ + c]);
            }
        }
    }

    double box_distance(std::int32_t node, const double* q) const {
        const double* box = &boxes_[static_cast<std::size_t>(node) * 2 * d_];
        double sum = 0.0;
        for (int c = 0; c < d_; ++c) {
            const double gap = std::max(box[c] - q[c], q[c] - box[d_ + c]);
            if (gap > 0.0) sum += gap * gap;
        }
        return sum;
    }

    // The k nearest other points of row r, nearest first (ties by index), into `best`.
    void query(std::int64_t r, int k, std::vector<std::pair<double, std::int32_t>>& best,
               std::vector<std::pair<double, std::int32_t>>& stack) const {
        const double* q = &coords_[static_cast<std::size_t>(r) * d_];
        const std::int32_t self = order_[r];
        best.clear();
        auto bound = [&] { return static_cast<int>(best.size()) < k ? std::numeric_limits<double>::infinity() : best.back().first; };
        stack.assign(1, {0.0, 0});  // (distance to the node's box, node)
        while (!stack.empty()) {
            const auto [reach, at] = stack.back();
            stack.pop_back();
            if (reach > bound()) continue;
            const Node& node = nodes_[at];
            if (node.left >= 0) {  // the nearer child on top, searched first
                const double left = box_distance(node.left, q), right = box_distance(node.right, q);
                if (left <= right) stack.push_back({right, node.right}), stack.push_back({left, node.left});
                else stack.push_back({left, node.left}), stack.push_back({right, node.right});
                continue;
            }
            for (std::int64_t p = node.begin; p < node.end; ++p) {
                const std::int32_t id = order_[p];
                if (id == self) continue;
                const double* x = &coords_[static_cast<std::size_t>(p) * d_];
                double sum = 0.0;
                for (int c = 0; c < d_; ++c) sum += (x[c] - q[c]) * (x[c] - q[c]);
                const std::pair<double, std::int32_t> found{sum, id};
                if (static_cast<int>(best.size()) == k) {
                    if (!(found < best.back())) continue;
                    best.pop_back();
                }
                best.insert(std::upper_bound(best.begin(), best.end(), found), found);
            }
        }
    }

    std::int64_t n_;
    int d_;
    std::vector<double> coords_;       // coordinates by row
    std::vector<std::int32_t> order_;  // point of each row, leaves side by side
    std::vector<Node> nodes_;
    std::vector<double> boxes_;  // low then high corner of each node
};

}  // namespace brov
