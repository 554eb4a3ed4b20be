#include "arrays/plane_tree.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "arrays/disjoint_sets.hpp"
#include "arrays/emst_work.hpp"

namespace brov {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr float kFloatInfinity = std::numeric_limits<float>::infinity();
constexpr int kListed = 4;  // neighbours listed per point: as fast as 8 (measured), half the memory
constexpr int kMostListed = 64;  // what a caller may ask to be listed
constexpr double kPointsPerCell = 2.0;   // aimed at over the bounding box
// Beyond this sum of squared cell counts per point (3 for uniform points) the points crowd into
// few cells, where the lists would cost a square of the crowd: the k-d tree serves them instead.
constexpr double kMostSquaresPerPoint = 12.0;
constexpr std::int64_t kCellsPerChunk = 64;  // cells whose lists one thread takes at a time
constexpr std::int64_t kPositionsPerChunk = 4096;  // points one thread takes at a time in the rounds
constexpr std::int64_t kRingsSearched = 3;  // rings of cells a search scans before it turns to the blocks
constexpr std::size_t kLocks = 1024;  // locks over the components' best edges

// A block of 2^level x 2^level cells and its squared distance from the point searched.
struct Block {
    int level;
    std::int64_t x, y;
    double d2;
};

template <typename Index>
class PlaneTree {
    static constexpr Index kNone = -1;
    static constexpr Index kMixed = -1;  // block_comp_ of a block whose points span components
    static constexpr Index kEmpty = -2;  // block_comp_ of a block without points

public:
    PlaneTree(Index n, int max_threads) : n_(n), max_threads_(max_threads) {}

    // Counting-sorts the points into cells of about kPointsPerCell points (four times as many
    // cells when the first grid crowds them); false when even the finer grid crowds them.
    bool place(const double* points, SearchPoll& poll) {
        double x1 = -kInfinity, y1 = -kInfinity;
        x0_ = y0_ = kInfinity;
        for (Index p = 0; p < n_; ++p, poll(2)) {
            x0_ = std::min(x0_, points[2 * std::size_t(p)]);
            x1 = std::max(x1, points[2 * std::size_t(p)]);
            y0_ = std::min(y0_, points[2 * std::size_t(p) + 1]);
            y1 = std::max(y1, points[2 * std::size_t(p) + 1]);
        }
        const double wx = x1 - x0_, wy = y1 - y0_;
        std::vector<Index> cell_of;
        fill_polling(cell_of, static_cast<std::size_t>(n_), Index(0), poll);
        bool fits = false;
        for (const double finer : {1.0, 4.0}) {
            const double target = std::max(1.0, finer * static_cast<double>(n_) / kPointsPerCell);
            // The larger side alone bounds the cells of a thin strip of points.
            double h = std::max(std::sqrt(wx * wy / target), std::max(wx, wy) / target);
            if (!(h > 0.0)) h = 1.0;  // every point is the same point
            gx_ = static_cast<std::int64_t>(wx / h) + 1;
            gy_ = static_cast<std::int64_t>(wy / h) + 1;
            if (gx_ * gy_ >= std::numeric_limits<Index>::max()) break;
            h_ = h;
            inv_h_ = 1.0 / h;
            // Cell boxes are widened by this much: a point's cell comes from a rounded product, and
            // the boxes from rounded sums, while the pruning must never exclude a point.
            margin_ = h * 1e-6 + 1e-13;
            const std::int64_t cells = gx_ * gy_;
            fill_polling(cell_start_, static_cast<std::size_t>(cells) + 1, Index(0), poll);
            for (Index p = 0; p < n_; ++p, poll()) {
                cell_of[p] = cell_at(points[2 * std::size_t(p)], points[2 * std::size_t(p) + 1]);
                ++cell_start_[cell_of[p] + 1];
            }
            double squares = 0.0;
            for (std::int64_t c = 0; c < cells; ++c, poll()) {
                squares += static_cast<double>(cell_start_[c + 1]) * static_cast<double>(cell_start_[c + 1]);
                cell_start_[c + 1] += cell_start_[c];
            }
            if (squares <= kMostSquaresPerPoint * static_cast<double>(n_)) {
                fits = true;
                break;
            }
        }
        if (!fits) return false;
        fill_polling(coords_, 2 * static_cast<std::size_t>(n_), 0.0, poll);
        fill_polling(order_, static_cast<std::size_t>(n_), Index(0), poll);
        for (Index p = 0; p < n_; ++p, poll()) {  // each cell's points in the order of their rows
            const Index at = cell_start_[cell_of[p]]++;
            coords_[2 * std::size_t(at)] = points[2 * std::size_t(p)];
            coords_[2 * std::size_t(at) + 1] = points[2 * std::size_t(p) + 1];
            order_[at] = p;
        }
        for (std::int64_t c = gx_ * gy_; c > 0; --c) cell_start_[c] = cell_start_[c - 1];
        cell_start_[0] = 0;
        free_polling(poll, cell_of);
        // Blocks of 2^L x 2^L cells, level by level up to a single block.
        std::int64_t wide = gx_, high = gy_, total = 0;
        for (;;) {
            levels_.push_back({wide, high, total});
            total += wide * high;
            if (wide == 1 && high == 1) break;
            wide = (wide + 1) / 2;
            high = (high + 1) / 2;
        }
        fill_polling(block_comp_, static_cast<std::size_t>(total), kEmpty, poll);
        return true;
    }

    template <typename Out>
    Index run(Out* edges, const EmstCheckpoint& checkpoint, EmstNeighbours* neighbours) {
        asked_ = neighbours ? std::min(neighbours->count, kMostListed) : 0;
        SearchPoll poll(checkpoint, kBuildStepsPerPoll);
        const auto n = static_cast<std::size_t>(n_);
        fill_polling(comp_, n, Index(0), poll);
        std::iota(comp_.begin(), comp_.end(), Index(0));
        parent_ = comp_;
        roots_ = comp_;
        fill_polling(rank_, n, std::uint8_t(0), poll);
        fill_polling(nearest_, n, kNone, poll);
        fill_polling(lower_d2_, n, 0.0f, poll);
        best_d2_.reset(new std::atomic<double>[n]);
        for (std::size_t c = 0; c < n; ++c, poll()) best_d2_[c].store(kInfinity, std::memory_order_relaxed);
        fill_polling(best_lo_, n, kNone, poll);
        fill_polling(best_hi_, n, kNone, poll);
        relabel(checkpoint);
        checkpoint(0.0);
        find_neighbours(checkpoint, poll);
        Index written = 0;
        while (roots_.size() > 1) {
            find_best_edges(checkpoint);
            const Index before = written;
            written = join_components(edges, written, poll);
            if (written == before) break;  // cannot happen with finite, scaled coordinates
            relabel(checkpoint);
            checkpoint(static_cast<double>(written) / static_cast<double>(n_ - 1));
        }
        best_d2_.reset();
        if (asked_ > 0 && static_cast<std::int64_t>(n_) < std::numeric_limits<std::int32_t>::max())
            export_neighbour_lists(*neighbours, n_, k_, asked_, listed_, order_,
                                   [this](Index p, Index q) { return pair_distance2(p, q); }, poll);
        free_polling(poll, listed_, cursor_, coords_, nearest_, lower_d2_, comp_, parent_, roots_, best_lo_, best_hi_,
                     block_comp_, cell_start_, order_);
        return written;
    }

private:
    struct Level {
        std::int64_t wide, high, offset;  // blocks per row, rows, first block in block_comp_
    };

    struct Scratch {
        std::vector<Block> stack;
    };

    Index cell_at(double x, double y) const {
        const auto cx = std::min(gx_ - 1, static_cast<std::int64_t>((x - x0_) * inv_h_));
        const auto cy = std::min(gy_ - 1, static_cast<std::int64_t>((y - y0_) * inv_h_));
        return static_cast<Index>(cy * gx_ + cx);
    }

    double pair_distance2(Index p, Index j) const {
        const double tx = coords_[2 * std::size_t(j)] - coords_[2 * std::size_t(p)];
        const double ty = coords_[2 * std::size_t(j) + 1] - coords_[2 * std::size_t(p) + 1];
        return tx * tx + ty * ty;
    }

    // Squared distance from q to the (widened) box of the cells [ax, bx) x [ay, by).
    double box_distance2(const double* q, std::int64_t ax, std::int64_t bx, std::int64_t ay, std::int64_t by) const {
        const double dx = std::max({x0_ + static_cast<double>(ax) * h_ - margin_ - q[0],
                                    q[0] - (x0_ + static_cast<double>(bx) * h_ + margin_), 0.0});
        const double dy = std::max({y0_ + static_cast<double>(ay) * h_ - margin_ - q[1],
                                    q[1] - (y0_ + static_cast<double>(by) * h_ + margin_), 0.0});
        return dx * dx + dy * dy;
    }

    // A lower bound of the squared distance from q (in cell cx, cy) to the cells r rings out and
    // beyond: the distance to the nearest side of the square of rings below r that has cells
    // beyond it, that square narrowed by the margin (a point just inside a side may have been
    // rounded into the cell beyond it).
    double ring_lower2(const double* q, std::int64_t cx, std::int64_t cy, std::int64_t r) const {
        double gap = kInfinity;
        if (cx - r + 1 > 0) gap = std::min(gap, q[0] - (x0_ + static_cast<double>(cx - r + 1) * h_ + margin_));
        if (cx + r < gx_) gap = std::min(gap, x0_ + static_cast<double>(cx + r) * h_ - margin_ - q[0]);
        if (cy - r + 1 > 0) gap = std::min(gap, q[1] - (y0_ + static_cast<double>(cy - r + 1) * h_ + margin_));
        if (cy + r < gy_) gap = std::min(gap, y0_ + static_cast<double>(cy + r) * h_ - margin_ - q[1]);
        return gap > 0.0 ? gap * gap : 0.0;
    }

    // Calls f(cell x, cell y) for the cells of ring r around (cx, cy) that lie in the grid.
    template <typename F>
    void for_ring(std::int64_t cx, std::int64_t cy, std::int64_t r, const F& f) const {
        if (r == 0) return f(cx, cy);
        for (std::int64_t x = std::max<std::int64_t>(cx - r, 0), last = std::min(cx + r, gx_ - 1); x <= last; ++x) {
            if (cy - r >= 0) f(x, cy - r);
            if (cy + r < gy_) f(x, cy + r);
        }
        for (std::int64_t y = std::max<std::int64_t>(cy - r + 1, 0), last = std::min(cy + r - 1, gy_ - 1); y <= last;
             ++y) {
            if (cx - r >= 0) f(cx - r, y);
            if (cx + r < gx_) f(cx + r, y);
        }
    }

    // The k nearest neighbours of every point, sorted by (d2, position). A point's nearest
    // neighbour in another component is the first entry of its list in another component, as long
    // as the list has one; components only grow, so each list is read once from front to back.
    void find_neighbours(const EmstCheckpoint& checkpoint, SearchPoll& poll) {
        k_ = static_cast<int>(std::min<Index>(std::max(kListed, asked_), n_ - 1));
        fill_polling(listed_, static_cast<std::size_t>(n_) * k_, kNone, poll);
        fill_polling(cursor_, static_cast<std::size_t>(n_), std::uint8_t(0), poll);
        const std::int64_t cells = gx_ * gy_;
        std::atomic<std::int64_t> next{0};
        std::atomic<bool> stop{false};
        auto work_chunk = [&](Scratch&, const Proceed& proceed) {
            const std::int64_t begin = next.fetch_add(kCellsPerChunk);
            if (begin >= cells || stop.load()) return false;
            for (std::int64_t c = begin, end = std::min(begin + kCellsPerChunk, cells); c < end; ++c) {
                if (!proceed()) return false;
                list_cell(c);
            }
            return true;
        };
        share_out<Scratch>(max_threads_, n_, work_chunk, stop, checkpoint);
    }

    // The lists of one cell's points: first the 3 x 3 cells around it (three runs of positions,
    // the grid being stored row by row), then further rings while they may hold nearer points.
    void list_cell(std::int64_t cell) {
        const std::int64_t cx = cell % gx_, cy = cell / gx_;
        const std::int64_t reach = std::max({cx, gx_ - 1 - cx, cy, gy_ - 1 - cy});
        const std::int64_t left = std::max<std::int64_t>(cx - 1, 0), right = std::min(cx + 2, gx_);
        for (Index p = cell_start_[cell]; p < cell_start_[cell + 1]; ++p) {
            const double* q = &coords_[2 * std::size_t(p)];
            double d2s[kMostListed];
            Index idx[kMostListed];
            std::fill_n(d2s, k_, kInfinity);
            std::fill_n(idx, k_, kNone);
            // The rows in increasing order of positions: a later point never passes a listed one
            // of the same distance.
            for (std::int64_t y = std::max<std::int64_t>(cy - 1, 0); y < std::min(cy + 2, gy_); ++y)
                insert_nearer<true>(p, cell_start_[y * gx_ + left], cell_start_[y * gx_ + right], idx, d2s);
            for (std::int64_t r = 2; r <= reach && ring_lower2(q, cx, cy, r) <= d2s[k_ - 1]; ++r)
                for_ring(cx, cy, r, [&](std::int64_t x, std::int64_t y) {
                    if (box_distance2(q, x, x + 1, y, y + 1) <= d2s[k_ - 1])
                        insert_nearer<false>(p, cell_start_[y * gx_ + x], cell_start_[y * gx_ + x + 1], idx, d2s);
                });
            std::copy_n(idx, k_, &listed_[std::size_t(p) * k_]);
        }
    }

    // Merges the positions [begin, end) into p's list (idx, d2s), kept sorted by (d2, position);
    // Later: all of them come after the listed ones.
    template <bool Later>
    void insert_nearer(Index p, Index begin, Index end, Index* idx, double* d2s) const {
        const int k = k_;
        for (Index j = begin; j < end; ++j) {
            const double d2 = pair_distance2(p, j);
            if (d2 > d2s[k - 1] || j == p || (d2 == d2s[k - 1] && (Later || j > idx[k - 1]))) continue;
            int t = k - 1;
            for (; t > 0 && (d2 < d2s[t - 1] || (!Later && d2 == d2s[t - 1] && j < idx[t - 1])); --t) {
                d2s[t] = d2s[t - 1];
                idx[t] = idx[t - 1];
            }
            d2s[t] = d2;
            idx[t] = j;
        }
    }

    // Calls visit(position, scratch, proceed) for every position, in chunks shared out between
    // the threads.
    template <typename Visit>
    void each_position(const EmstCheckpoint& checkpoint, const Visit& visit) {
        std::atomic<std::int64_t> next{0};
        std::atomic<bool> stop{false};
        auto work_chunk = [&](Scratch& scratch, const Proceed& proceed) {
            const std::int64_t begin = next.fetch_add(kPositionsPerChunk);
            if (begin >= n_ || stop.load() || !proceed()) return false;
            const auto end = static_cast<Index>(std::min<std::int64_t>(begin + kPositionsPerChunk, n_));
            for (auto p = static_cast<Index>(begin); p < end; ++p) visit(p, scratch, proceed);
            return true;
        };
        share_out<Scratch>(max_threads_, n_, work_chunk, stop, checkpoint);
    }

    // The largest float not above x (a bound that stays a lower bound).
    static float float_below(double x) {
        const float f = static_cast<float>(x);
        return static_cast<double>(f) > x ? std::nextafter(f, -kFloatInfinity) : f;
    }

    double best_d2(Index c) const { return best_d2_[c].load(std::memory_order_relaxed); }

    // Keeps the smaller of the component's best edge and (d2, a, b) in the strict edge order. Any
    // thread may offer: the component's stripe of locks guards its best edge, and the order makes
    // the outcome independent of who offers first.
    void offer(Index c, double d2, Index a, Index b) {
        if (d2 > best_d2(c)) return;  // the best only shrinks
        const Index lo = std::min(a, b), hi = std::max(a, b);
        std::atomic<bool>& lock = locks_[static_cast<std::size_t>(c) % kLocks];
        while (lock.exchange(true, std::memory_order_acquire))
            while (lock.load(std::memory_order_relaxed)) std::this_thread::yield();  // its holder may wait for a core
        const double best = best_d2(c);
        if (d2 < best || (d2 == best && std::make_pair(lo, hi) < std::make_pair(best_lo_[c], best_hi_[c]))) {
            best_d2_[c].store(d2, std::memory_order_relaxed);
            best_lo_[c] = lo;
            best_hi_[c] = hi;
        }
        lock.store(false, std::memory_order_release);
    }

    // Every component's shortest outgoing edge: the listed and remembered neighbours first (they
    // set tight bounds), then searches for the points that neither answers for.
    void find_best_edges(const EmstCheckpoint& checkpoint) {
        each_position(checkpoint, [this](Index p, Scratch&, const Proceed&) { offer_listed(p); });
        each_position(checkpoint, [this](Index p, Scratch& scratch, const Proceed& proceed) {
            if (cursor_[p] < k_ || nearest_[p] != kNone || lower_d2_[p] > best_d2(comp_[p])) return;
            if (proceed()) search(p, scratch.stack);
        });
    }

    // p's nearest other-component neighbour from its list while the list has one, else from its
    // last search while that is still in another component; otherwise a lower bound.
    void offer_listed(Index p) {
        const Index c = comp_[p];
        std::uint8_t& t = cursor_[p];
        if (t < k_) {
            const Index* idx = &listed_[std::size_t(p) * k_];
            while (t < k_ && idx[t] != kNone && comp_[idx[t]] == c) ++t;
            if (t < k_ && idx[t] != kNone) return offer(c, pair_distance2(p, idx[t]), p, idx[t]);
            t = static_cast<std::uint8_t>(k_);
            lower_d2_[p] = idx[k_ - 1] == kNone ? kFloatInfinity : float_below(pair_distance2(p, idx[k_ - 1]));
        }
        const Index j = nearest_[p];
        if (j == kNone) return;
        if (comp_[j] != c) return offer(c, pair_distance2(p, j), p, j);
        lower_d2_[p] = std::max(lower_d2_[p], float_below(pair_distance2(p, j)));
        nearest_[p] = kNone;
    }

    // Nearest point of another component to p, in the order (d2, position), if one lies within
    // the bound of p's component; otherwise that bound becomes p's lower bound. The rings of
    // cells around p first (the bound is a few cells across, mostly), then, if the bound reaches
    // further, blocks nearest first from the top, leaving out those of p's component alone or
    // without points.
    void search(Index p, std::vector<Block>& stack) {
        const Index c = comp_[p];
        const double* q = &coords_[2 * std::size_t(p)];
        const double bound = best_d2(c);
        const double alone = alone_distance2(c, q);
        if (alone > bound) {  // other components lie beyond the bound
            lower_d2_[p] = std::max(lower_d2_[p], float_below(alone));
            return;
        }
        double found_d2 = bound;
        Index found = kNone;
        const auto scan = [&](std::int64_t cell) {
            for (Index j = cell_start_[cell]; j < cell_start_[cell + 1]; ++j) {
                if (comp_[j] == c) continue;
                const double d2 = pair_distance2(p, j);
                if (d2 < found_d2 || (d2 == found_d2 && (found == kNone || j < found))) {
                    found_d2 = d2;
                    found = j;
                }
            }
        };
        const Index cell = cell_at(q[0], q[1]);
        const std::int64_t cx = cell % gx_, cy = cell / gx_;
        const std::int64_t reach = std::max({cx, gx_ - 1 - cx, cy, gy_ - 1 - cy});
        std::int64_t r = 0;
        for (; r <= std::min(reach, kRingsSearched) && (r == 0 || ring_lower2(q, cx, cy, r) <= found_d2); ++r)
            for_ring(cx, cy, r, [&](std::int64_t x, std::int64_t y) {
                const Index comp = block_comp_[y * gx_ + x];
                if (comp != c && comp != kEmpty && (r < 2 || box_distance2(q, x, x + 1, y, y + 1) <= found_d2))
                    scan(y * gx_ + x);
            });
        if (r > kRingsSearched && r <= reach && ring_lower2(q, cx, cy, r) <= found_d2) {
            stack.clear();
            stack.push_back({static_cast<int>(levels_.size()) - 1, 0, 0, 0.0});
            while (!stack.empty()) {
                const Block b = stack.back();
                stack.pop_back();
                if (b.d2 > found_d2) continue;
                if (b.level == 0)
                    scan(b.y * gx_ + b.x);
                else
                    push_children(b, c, q, found_d2, stack);
            }
        }
        if (found == kNone) {
            lower_d2_[p] = std::max(lower_d2_[p], float_below(bound));
            return;
        }
        nearest_[p] = found;
        offer(c, found_d2, p, found);
    }

    // A lower bound of the squared distance from q (point p of component c) to other components:
    // the distance to the sides of the largest block around p that holds c alone, leaving out the
    // sides at the edge of the grid (no point lies beyond them).
    double alone_distance2(Index c, const double* q) const {
        const Index cell = cell_at(q[0], q[1]);
        if (block_comp_[cell] != c) return 0.0;
        std::int64_t x = cell % gx_, y = cell / gx_;
        std::size_t level = 0;
        for (; level + 1 < levels_.size(); ++level) {
            const Level& above = levels_[level + 1];
            if (block_comp_[above.offset + (y / 2) * above.wide + x / 2] != c) break;
            x /= 2;
            y /= 2;
        }
        const std::int64_t ax = x << level, bx = std::min((x + 1) << level, gx_);
        const std::int64_t ay = y << level, by = std::min((y + 1) << level, gy_);
        double gap = kInfinity;
        if (ax > 0) gap = std::min(gap, q[0] - (x0_ + static_cast<double>(ax) * h_ + margin_));
        if (bx < gx_) gap = std::min(gap, x0_ + static_cast<double>(bx) * h_ - margin_ - q[0]);
        if (ay > 0) gap = std::min(gap, q[1] - (y0_ + static_cast<double>(ay) * h_ + margin_));
        if (by < gy_) gap = std::min(gap, y0_ + static_cast<double>(by) * h_ - margin_ - q[1]);
        return gap > 0.0 ? gap * gap : 0.0;
    }

    // The children of block b within limit that hold points outside component c, nearest on top.
    void push_children(const Block& b, Index c, const double* q, double limit, std::vector<Block>& stack) const {
        const int level = b.level - 1;
        const Level& below = levels_[level];
        Block children[4];
        int count = 0;
        for (std::int64_t y = 2 * b.y; y < std::min(2 * b.y + 2, below.high); ++y)
            for (std::int64_t x = 2 * b.x; x < std::min(2 * b.x + 2, below.wide); ++x) {
                const Index comp = block_comp_[below.offset + y * below.wide + x];
                if (comp == c || comp == kEmpty) continue;
                const double d2 = box_distance2(q, x << level, std::min((x + 1) << level, gx_), y << level,
                                                std::min((y + 1) << level, gy_));
                if (d2 <= limit) children[count++] = {level, x, y, d2};
            }
        for (int i = 1; i < count; ++i)  // farthest first (an insertion sort of at most four)
            for (int j = i; j > 0 && children[j - 1].d2 < children[j].d2; --j) std::swap(children[j - 1], children[j]);
        stack.insert(stack.end(), children, children + count);
    }

    Index find(Index x) { return find_root(parent_, x); }

    // Joins every component to the other end of its best edge, writing the edges that join two
    // sets; the roots left are the components of the next round.
    template <typename Out>
    Index join_components(Out* edges, Index written, SearchPoll& poll) {
        for (const Index c : roots_) {
            poll();
            if (best_lo_[c] == kNone) continue;
            Index a = find(comp_[best_lo_[c]]), b = find(comp_[best_hi_[c]]);
            if (a != b) {
                if (rank_[a] < rank_[b]) std::swap(a, b);
                parent_[b] = a;
                if (rank_[a] == rank_[b]) ++rank_[a];
                const Index u = order_[best_lo_[c]], v = order_[best_hi_[c]];
                edges[2 * static_cast<std::size_t>(written)] = static_cast<Out>(std::min(u, v));
                edges[2 * static_cast<std::size_t>(written) + 1] = static_cast<Out>(std::max(u, v));
                ++written;
            }
            best_d2_[c].store(kInfinity, std::memory_order_relaxed);
            best_lo_[c] = best_hi_[c] = kNone;
        }
        roots_.erase(std::remove_if(roots_.begin(), roots_.end(), [this](Index c) { return parent_[c] != c; }),
                     roots_.end());
        return written;
    }

    // New component ids per point (the roots above the old ones: the threads only read the
    // parents) and per cell, a chunk of cells per thread at a time; then per block of each level
    // above, from the four below.
    void relabel(const EmstCheckpoint& checkpoint) {
        const std::int64_t cells = gx_ * gy_;
        std::atomic<std::int64_t> next{0};
        std::atomic<bool> stop{false};
        auto work_chunk = [&](Scratch&, const Proceed& proceed) {
            const std::int64_t begin = next.fetch_add(kCellsPerChunk * 16);
            if (begin >= cells || stop.load() || !proceed()) return false;
            for (std::int64_t cell = begin, end = std::min(begin + kCellsPerChunk * 16, cells); cell < end; ++cell) {
                Index one = kEmpty;
                for (Index p = cell_start_[cell]; p < cell_start_[cell + 1]; ++p) {
                    Index c = comp_[p];
                    while (parent_[c] != c) c = parent_[c];
                    comp_[p] = c;
                    one = one == kEmpty || one == c ? c : kMixed;
                }
                block_comp_[cell] = one;
            }
            return true;
        };
        share_out<Scratch>(max_threads_, n_, work_chunk, stop, checkpoint);
        SearchPoll poll(checkpoint, kBuildStepsPerPoll);
        for (std::size_t level = 1; level < levels_.size(); ++level) {
            const Level& at = levels_[level];
            const Level& below = levels_[level - 1];
            for (std::int64_t y = 0; y < at.high; ++y, poll(at.wide))
                for (std::int64_t x = 0; x < at.wide; ++x) {
                    Index c = kEmpty;
                    for (std::int64_t by = 2 * y; by < std::min(2 * y + 2, below.high); ++by)
                        for (std::int64_t bx = 2 * x; bx < std::min(2 * x + 2, below.wide); ++bx) {
                            const Index child = block_comp_[below.offset + by * below.wide + bx];
                            if (child == kEmpty || child == c) continue;
                            c = c == kEmpty ? child : kMixed;
                        }
                    block_comp_[at.offset + y * at.wide + x] = c;
                }
        }
    }

    Index n_;
    int max_threads_;
    double x0_ = 0.0, y0_ = 0.0, h_ = 1.0, inv_h_ = 1.0, margin_ = 0.0;
    std::int64_t gx_ = 1, gy_ = 1;  // cells per row, rows
    std::vector<Index> cell_start_;  // cell (row-major) -> its first position; one more at the end
    std::vector<double> coords_;     // by position: the points cell by cell
    std::vector<Index> order_;       // position -> row of the input
    std::vector<Level> levels_;      // level 0: the cells
    std::vector<Index> block_comp_;  // per block of every level: its one component, kMixed or kEmpty
    std::vector<Index> comp_;        // per position: the root of its component
    std::vector<Index> parent_;      // disjoint sets over the roots
    std::vector<Index> roots_;       // the components, in increasing order
    std::vector<std::uint8_t> rank_;
    int k_ = 0;
    int asked_ = 0;  // neighbours the caller asked to be listed
    std::vector<Index> listed_;         // n x k_ nearest neighbours, nearest first
    std::vector<std::uint8_t> cursor_;  // first listed neighbour that may be in another component
    std::vector<Index> nearest_;        // a point's nearest other-component point found by a search
    std::vector<float> lower_d2_;       // a lower bound of each point's distance to other components
    std::unique_ptr<std::atomic<double>[]> best_d2_;  // per component root: its shortest outgoing edge so far
    std::vector<Index> best_lo_, best_hi_;
    std::array<std::atomic<bool>, kLocks> locks_{};
};

}  // namespace

template <typename Index, typename Out>
std::int64_t plane_mst_edges(const double* points, Index n, Out* edges, const EmstCheckpoint& checkpoint,
                             int max_threads, std::vector<double>* owned, EmstNeighbours* neighbours) {
    PlaneTree<Index> tree(n, max_threads);
    {
        SearchPoll poll(checkpoint, kBuildStepsPerPoll);
        if (!tree.place(points, poll)) return -1;
        if (owned) free_polling(poll, *owned);  // the grid holds its own copy now
    }
    return tree.run(edges, checkpoint, neighbours);
}

template std::int64_t plane_mst_edges(const double*, std::int32_t, std::int32_t*, const EmstCheckpoint&, int,
                                      std::vector<double>*, EmstNeighbours*);
template std::int64_t plane_mst_edges(const double*, std::int32_t, std::int64_t*, const EmstCheckpoint&, int,
                                      std::vector<double>*, EmstNeighbours*);
template std::int64_t plane_mst_edges(const double*, std::int64_t, std::int32_t*, const EmstCheckpoint&, int,
                                      std::vector<double>*, EmstNeighbours*);
template std::int64_t plane_mst_edges(const double*, std::int64_t, std::int64_t*, const EmstCheckpoint&, int,
                                      std::vector<double>*, EmstNeighbours*);

}  // namespace brov
