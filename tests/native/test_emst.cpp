// The exact Euclidean tree (emst.cpp) against Prim's algorithm on the complete graph: random point
// sets in 1 to 12 dimensions, on coarse integer grids (equal lengths, identical points) and with
// continuous coordinates, small and large enough for the helper threads. The plane's grid route
// (plane_tree.cpp) also directly, on the point sets it must accept (lattices with repeated points,
// far-apart clusters, a line, a tiny spread far from zero), with the same edges on one thread as
// on two. Also: a checkpoint that throws stops the build cleanly, and progress never decreases and
// ends at 1.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "arrays/emst.hpp"
#include "arrays/plane_tree.hpp"

namespace {

double distance(const std::vector<double>& x, int d, std::int64_t a, std::int64_t b) {
    double s = 0.0;
    for (int k = 0; k < d; ++k) {
        const double t = x[a * d + k] - x[b * d + k];
        s += t * t;
    }
    return std::sqrt(s);
}

double prim_length(const std::vector<double>& x, std::int64_t n, int d) {
    std::vector<double> best(n, INFINITY);
    std::vector<char> in(n, 0);
    double total = 0.0;
    best[0] = 0.0;
    for (std::int64_t step = 0; step < n; ++step) {
        std::int64_t u = -1;
        for (std::int64_t v = 0; v < n; ++v)
            if (!in[v] && (u < 0 || best[v] < best[u])) u = v;
        in[u] = 1;
        total += best[u];
        for (std::int64_t v = 0; v < n; ++v)
            if (!in[v]) best[v] = std::min(best[v], distance(x, d, u, v));
    }
    return total;
}

// Whether the edges join all n points without a cycle.
bool spanning(const std::vector<std::int64_t>& edges, std::int64_t n) {
    std::vector<std::int64_t> parent(n);
    std::iota(parent.begin(), parent.end(), 0);
    auto find = [&](std::int64_t v) {
        while (parent[v] != v) v = parent[v] = parent[parent[v]];
        return v;
    };
    for (std::int64_t e = 0; e + 1 < n; ++e) {
        const std::int64_t a = edges[2 * e], b = edges[2 * e + 1];
        if (a < 0 || b >= n || a >= b) return false;
        const std::int64_t ra = find(a), rb = find(b);
        if (ra == rb) return false;
        parent[ra] = rb;
    }
    return true;
}

int failures = 0, cases = 0;

void check(const std::vector<double>& x, std::int64_t n, int d, const char* kind) {
    ++cases;
    std::vector<std::int64_t> edges(2 * (n > 0 ? n - 1 : 0));
    double last = -1.0;
    bool ordered = true;
    brov::euclidean_mst_edges(x.data(), n, d, edges.data(), [&](double f) {
        if (f < 0) return;
        ordered = ordered && f >= last;
        last = f;
    });
    double length = 0.0;
    for (std::int64_t e = 0; e + 1 < n; ++e) length += distance(x, d, edges[2 * e], edges[2 * e + 1]);
    const double expected = prim_length(x, n, d);
    if (!spanning(edges, n) || std::fabs(length - expected) > 1e-9 * expected || !ordered ||
        last != 1.0) {
        ++failures;
        std::printf("FAILED %s n=%lld d=%d: length %.12g, Prim %.12g, progress ordered %d, last %g\n", kind,
                    static_cast<long long>(n), d, length, expected, ordered, last);
    }
}

// Points of the plane below 1 in magnitude, of one of five kinds.
std::vector<double> plane_points(std::int64_t n, int kind, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int> lattice(0, 40);
    std::vector<double> x(2 * n);
    for (std::int64_t i = 0; i < n; ++i) {
        double* p = &x[2 * i];
        switch (kind) {
            case 0: p[0] = u(rng), p[1] = u(rng); break;
            case 1: p[0] = lattice(rng) / 64.0, p[1] = lattice(rng) / 64.0; break;  // exact: ties
            case 2: {  // three tight clusters far apart: searches reach past the rings of cells
                const int c = static_cast<int>(rng() % 3);
                p[0] = 0.8 * (c - 1) + 0.1 * normal(rng), p[1] = (c == 1 ? 0.7 : -0.5) + 0.1 * normal(rng);
                break;
            }
            case 3: p[0] = u(rng), p[1] = 0.25; break;  // a line: one row of cells
            default: p[0] = 1.0 + 1e-12 * u(rng), p[1] = 0.5 - 1e-12 * u(rng);  // spread below the rounding of cells
        }
    }
    return x;
}

// The lists a route handed out hold each point's nearest other points, nearest first, and the
// distance to the count-th (squared, as the route measures it); checked on a sample of points.
bool lists_are_nearest(const std::vector<double>& x, std::int64_t n, const brov::EmstNeighbours& lists) {
    if (!lists.found) return false;
    for (std::int64_t p = 0; p < n; p += 1 + n / 97) {
        std::vector<double> sorted;
        for (std::int64_t q = 0; q < n; ++q)
            if (q != p) sorted.push_back(distance(x, 2, p, q));
        std::sort(sorted.begin(), sorted.end());
        const auto near = [](double a, double b) { return std::fabs(a - b) <= 1e-12 * std::max(1.0, b); };
        for (int t = 0; t < lists.kept; ++t) {
            const std::int32_t q = lists.index[p * lists.kept + t];
            if (t >= static_cast<int>(sorted.size()) ? q != -1 : q < 0 || q == p || !near(distance(x, 2, p, q), sorted[t]))
                return false;
        }
        const double last = lists.count <= static_cast<int>(sorted.size()) ? sorted[lists.count - 1] : INFINITY;
        if (std::isinf(last) ? !std::isinf(lists.last[p]) : !near(std::sqrt(lists.last[p]), last)) return false;
    }
    return true;
}

void check_plane(std::int64_t n, int kind, std::mt19937_64& rng) {
    ++cases;
    const std::vector<double> x = plane_points(n, kind, rng);
    std::vector<std::int64_t> one(2 * (n - 1)), two(2 * (n - 1));
    const auto ignore = [](double) {};
    const std::int64_t written = brov::plane_mst_edges(x.data(), n, one.data(), ignore, 1, nullptr);
    brov::plane_mst_edges(x.data(), n, two.data(), ignore, 2, nullptr);
    brov::EmstNeighbours lists;  // asked for: more listed neighbours, the same tree
    lists.count = 1 + static_cast<int>(n % 12);
    lists.kept = static_cast<int>(n % (lists.count + 1));
    std::vector<std::int64_t> listing(2 * (n - 1));
    brov::plane_mst_edges(x.data(), n, listing.data(), ignore, 2, nullptr, &lists);
    if (written >= 0 && (listing != one || !lists_are_nearest(x, n, lists))) {
        ++failures;
        std::printf("FAILED plane kind %d n=%lld: with %d neighbours listed, same tree %d, lists right %d\n", kind,
                    static_cast<long long>(n), lists.count, listing == one, lists_are_nearest(x, n, lists));
    }
    double length = 0.0;
    for (std::int64_t e = 0; e + 1 < n; ++e) length += distance(x, 2, one[2 * e], one[2 * e + 1]);
    const double expected = prim_length(x, n, 2);
    if (written != n - 1 || !spanning(one, n) || one != two || std::fabs(length - expected) > 1e-9 * expected) {
        ++failures;
        std::printf("FAILED plane kind %d n=%lld: written %lld, length %.12g, Prim %.12g, threads agree %d\n", kind,
                    static_cast<long long>(n), static_cast<long long>(written), length, expected, one == two);
    }
}

}  // namespace

int main() {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 300; ++round) {
        const int d = 1 + static_cast<int>(rng() % 12);
        const std::int64_t n = 1 + static_cast<std::int64_t>(rng() % 400);
        const bool grid = round % 2 == 0;
        std::uniform_int_distribution<int> cell(0, 3);
        std::normal_distribution<double> normal(0.0, 1.0);
        std::vector<double> x(n * d);
        for (auto& v : x) v = grid ? cell(rng) : normal(rng) * (rng() % 3 == 0 ? 0.01 : 1.0);
        check(x, n, d, grid ? "grid" : "normal");
    }
    for (const int d : {2, 5}) {  // large enough for the helper threads
        const std::int64_t n = 9000;
        std::uniform_int_distribution<int> cell(0, 40);
        std::vector<double> x(n * d);
        for (auto& v : x) v = cell(rng);
        check(x, n, d, "large grid");
    }
    for (const int d : {8, 13}) {  // separated clusters: whole leaves of one component search together
        const std::int64_t n = 2000;
        std::normal_distribution<double> normal(0.0, 1.0);
        std::uniform_int_distribution<int> cluster(0, 5), spread(-20, 20);
        std::vector<double> centers(6 * d), x(n * d);
        for (auto& v : centers) v = spread(rng);
        for (std::int64_t i = 0; i < n; ++i) {
            const int c = cluster(rng);
            for (int k = 0; k < d; ++k) x[i * d + k] = centers[c * d + k] + (i % 7 == 0 ? 0.0 : normal(rng));
        }
        check(x, n, d, "clusters");
    }
    for (int round = 0; round < 40; ++round) check_plane(2 + static_cast<std::int64_t>(rng() % 1500), round % 5, rng);
    for (int kind = 0; kind < 3; ++kind) check_plane(9000, kind, rng);  // large enough for the helper thread
    {  // coordinates whose squares overflow: the same tree as the points scaled down exactly
        ++cases;
        const std::int64_t n = 3000;
        std::normal_distribution<double> normal(0.0, 1.0);
        std::vector<double> x(n * 3), huge(n * 3);
        for (std::size_t k = 0; k < x.size(); ++k) {
            x[k] = normal(rng);
            huge[k] = std::ldexp(x[k], 900);
        }
        std::vector<std::int64_t> small_edges(2 * (n - 1)), huge_edges(2 * (n - 1), -7);
        const auto ignore = [](double) {};
        brov::euclidean_mst_edges(x.data(), n, 3, small_edges.data(), ignore);
        const std::int64_t written = brov::euclidean_mst_edges(huge.data(), n, 3, huge_edges.data(), ignore);
        if (written != n - 1 || huge_edges != small_edges) {
            ++failures;
            std::printf("FAILED: coordinates near 2^900 gave another tree (%lld edges written)\n",
                        static_cast<long long>(written));
        }
    }
    {
        ++cases;
        const std::int64_t n = 20000;
        std::vector<double> x(n * 3);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        for (auto& v : x) v = u(rng);
        std::vector<std::int64_t> edges(2 * (n - 1));
        int calls = 0;
        bool stopped = false;
        try {
            brov::euclidean_mst_edges(x.data(), n, 3, edges.data(), [&](double) {
                if (++calls == 5) throw std::runtime_error("stop");
            });
        } catch (const std::runtime_error&) {
            stopped = true;
        }
        if (!stopped) {
            ++failures;
            std::printf("FAILED: a throwing checkpoint did not stop the build\n");
        }
    }
    std::printf("%d passed, %d failed\n", cases - failures, failures);
    return failures == 0 ? 0 : 1;
}
