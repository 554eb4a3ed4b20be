// Checks plan_cuts: the sweep against the exact planner on simple forests, and the exact planner
// against a literal, unoptimised rerun of the driver (every pass rebuilds the whole subgraph,
// every path and every exploration level is walked again) on all kinds of inputs.
//
//   test_cutting            run the checks
//   test_cutting --bench N  time the sweep on an N-node random tree
//   test_cutting --batch    read graphs from stdin, print each plan (used by the Python tests)
#include "arrays/cut_edge_list.hpp"
#include "arrays/cutting.hpp"
#include "arrays/edge_rank.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <iostream>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

using brov::CutInput;
using brov::CutList;
using brov::CutMethod;
using brov::CutOptions;
using brov::CutResult;
using brov::CutStatus;

namespace {

struct Graph {
    int n = 0;
    std::vector<std::vector<std::int64_t>> adj;
    std::vector<std::vector<float>> w;
    std::vector<std::int8_t> labels;
};

// Keeps the pointer tables that a CutInput refers to.
struct View {
    std::vector<const std::int64_t*> a;
    std::vector<const float*> w;
    std::vector<std::int32_t> s;
    CutInput in;
    explicit View(const Graph& g) {
        for (int i = 0; i < g.n; ++i) {
            a.push_back(g.adj[i].data());
            w.push_back(g.w[i].data());
            s.push_back(static_cast<std::int32_t>(g.adj[i].size()));
        }
        in.n = g.n;
        in.adjacency = a.data();
        in.weights = w.data();
        in.sizes = s.data();
        in.labels = g.labels.data();
        in.label_stride = 1;
    }
};

CutResult plan(const Graph& g, CutList& cuts, CutMethod m) {
    View v(g);
    CutOptions o;
    o.method = m;
    return brov::plan_cuts(v.in, cuts, o);
}

// Removes the cuts as the driver does: first occurrences, later entries shifting down.
void apply_cuts(Graph& g, const CutList& cuts) {
    for (auto [a, b] : cuts) {
        auto& la = g.adj[a];
        auto& lb = g.adj[b];
        const auto pa = std::find(la.begin(), la.end(), b) - la.begin();
        const auto pb = std::find(lb.begin(), lb.end(), a) - lb.begin();
        la.erase(la.begin() + pa);
        g.w[a].erase(g.w[a].begin() + pa);
        lb.erase(lb.begin() + pb);
        g.w[b].erase(g.w[b].begin() + pb);
    }
}

// ------------------------------------------------------------------ the driver, literally

struct Brute {
    const Graph* g;
    long budget;
    bool gave_up = false;
    CutStatus status = CutStatus::ok;
    std::int64_t da = -1, db = -1;

    using Path = std::vector<int>;

    bool spend() {
        if (--budget < 0) gave_up = true;
        return !gave_up;
    }

    // find_all_paths_with_labels(start=root, bomb_node=bomb, path=None)
    void find_paths(int root, int bomb, std::vector<Path>& out) {
        const auto& L = g->labels;
        if (root == bomb && bomb != -1) return;
        Path path{root};
        std::vector<std::size_t> idx{0};
        while (!path.empty()) {
            if (!spend()) return;
            const int x = path.back();
            if (idx.back() == g->adj[x].size()) {
                path.pop_back();
                idx.pop_back();
                continue;
            }
            const int nb = static_cast<std::int32_t>(g->adj[x][idx.back()++]);
            if (std::find(path.begin(), path.end(), nb) != path.end()) continue;
            if (L[nb] == L[path[0]]) continue;
            if (nb == bomb && bomb != -1) continue;
            if (L[nb] > -1 && nb != path[0]) {
                out.push_back(path);
                out.back().push_back(nb);
                continue;
            }
            path.push_back(nb);
            idx.push_back(0);
        }
    }

    // explore_graph_recursive(start); false on the repeated (start, bomb) pair.
    bool explore(int start, std::vector<Path>& all) {
        struct Frame { int s, b; std::vector<Path> paths; std::size_t i; };
        std::set<std::pair<int, int>> chain{{start, -1}};
        std::vector<Frame> stack;
        stack.push_back({start, -1, {}, 0});
        find_paths(start, -1, stack.back().paths);
        all.insert(all.end(), stack.back().paths.begin(), stack.back().paths.end());
        while (!stack.empty() && !gave_up) {
            Frame& f = stack.back();
            if (f.i == f.paths.size()) {
                chain.erase({f.s, f.b});
                stack.pop_back();
                continue;
            }
            const Path& p = f.paths[f.i++];
            const int end = p.back();
            if (end == f.b) continue;
            const int bomb = p[p.size() - 2];
            if (chain.count({end, bomb})) {
                status = CutStatus::recursion;
                da = end;
                db = bomb;
                return false;
            }
            chain.insert({end, bomb});
            Frame child{end, bomb, {}, 0};
            find_paths(end, bomb, child.paths);
            all.insert(all.end(), child.paths.begin(), child.paths.end());
            stack.push_back(std::move(child));
        }
        return true;
    }

    static long index(const std::vector<std::int64_t>& l, int v) {
        const auto it = std::find(l.begin(), l.end(), v);
        return it == l.end() ? -1 : it - l.begin();
    }

    // find_subgraph_with_labels; false on an error.
    bool subgraph(std::vector<std::vector<int>>& sa, std::vector<std::vector<float>>& sw) {
        const int n = g->n;
        std::vector<Path> all;
        std::vector<char> visited(n, 0);
        std::vector<int> node_list;
        for (int i = 0; i < n; ++i)
            if (g->labels[i] != -1) node_list.push_back(i);
        std::vector<int> unvisited = node_list;
        while (!unvisited.empty()) {
            const int s = unvisited.front();
            std::vector<Path> fresh;
            if (!explore(s, fresh) || gave_up) return false;
            if (!fresh.empty()) {
                all.insert(all.end(), fresh.begin(), fresh.end());
                for (const Path& p : all)
                    for (int x : p) visited[x] = 1;
            } else {
                visited[s] = 1;
            }
            unvisited.clear();
            for (int x : node_list)
                if (!visited[x]) unvisited.push_back(x);
        }
        sa.assign(n, {});
        sw.assign(n, {});
        auto copy = [&](int a, int b) {
            sa[a].push_back(b);
            const long k = index(g->adj[a], b);
            if (k < 0) {
                status = CutStatus::not_in_list;
                da = b;
                db = a;
                return false;
            }
            sw[a].push_back(g->w[a][k]);
            return true;
        };
        for (const Path& p : all) {
            for (std::size_t j = 0; j + 1 < p.size(); ++j) {
                const int a = p[j], b = p[j + 1];
                if (std::find(sa[a].begin(), sa[a].end(), b) == sa[a].end() && !copy(a, b)) return false;
                if (std::find(sa[b].begin(), sa[b].end(), a) == sa[b].end() && !copy(b, a)) return false;
            }
        }
        return true;
    }

    // The cutting phase of clusterize on a copy of the graph, which ends as the driver leaves it.
    Graph run(CutList& cuts, long limit) {
        Graph cur = *g;
        g = &cur;
        budget = limit;
        for (;;) {
            std::vector<std::vector<int>> sa;
            std::vector<std::vector<float>> sw;
            if (!subgraph(sa, sw)) return cur;
            bool empty = true;
            for (const auto& l : sa)
                if (!l.empty()) empty = false;
            if (empty) return cur;
            // pop_max's scan
            float mx = -1.0f;
            std::vector<std::pair<int, int>> entries;  // (list, neighbour)
            for (int i = 0; i < cur.n; ++i)
                for (std::size_t k = 0; k < sw[i].size(); ++k) {
                    if (sw[i][k] > mx) {
                        mx = sw[i][k];
                        entries.assign(1, {i, sa[i][k]});
                    } else if (sw[i][k] == mx) {
                        entries.emplace_back(i, sa[i][k]);
                    }
                }
            if (entries.empty()) {
                status = CutStatus::no_qualifying_max;
                return cur;
            }
            if (entries.size() == 1) {
                status = CutStatus::lone_max;
                return cur;
            }
            std::set<std::pair<int, int>> edges;
            for (auto [x, y] : entries) edges.insert({std::min(x, y), std::max(x, y)});
            int a = entries[0].first, b = entries[1].first;
            if (edges.size() > 1) {
                a = edges.begin()->first;
                b = -1;
                for (std::int64_t v : cur.adj[a])
                    if (edges.count({a, static_cast<int>(v)})) {
                        b = static_cast<int>(v);
                        break;
                    }
            }
            const long pa = index(cur.adj[a], b), pb = index(cur.adj[b], a);
            if (pa < 0 || pb < 0) {
                std::fprintf(stderr, "brute force: cut edge %d-%d not in the lists\n", a, b);
                std::exit(2);
            }
            cur.adj[a].erase(cur.adj[a].begin() + pa);
            cur.adj[b].erase(cur.adj[b].begin() + pb);
            cur.w[a].erase(cur.w[a].begin() + pa);
            cur.w[b].erase(cur.w[b].begin() + pb);
            cuts.emplace_back(a, b);
        }
    }
};

// ------------------------------------------------------------------ generators

std::mt19937_64 rng(20261207);

int uni(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

enum Shape { random_tree, chain, star, caterpillar, binary, forest, shape_count };
const char* shape_name[] = {"random tree", "chain", "star", "caterpillar", "binary", "forest"};

std::vector<std::pair<int, int>> make_shape(Shape s, int n) {
    std::vector<std::pair<int, int>> e;
    switch (s) {
        case random_tree:
            for (int i = 1; i < n; ++i) e.emplace_back(uni(0, i - 1), i);
            break;
        case chain:
            for (int i = 1; i < n; ++i) e.emplace_back(i - 1, i);
            break;
        case star:
            for (int i = 1; i < n; ++i) e.emplace_back(0, i);
            break;
        case caterpillar: {
            const int spine = std::max(1, n / 3);
            for (int i = 1; i < spine; ++i) e.emplace_back(i - 1, i);
            for (int i = spine; i < n; ++i) e.emplace_back(uni(0, spine - 1), i);
            break;
        }
        case binary:
            for (int i = 1; i < n; ++i) e.emplace_back((i - 1) / 2, i);
            break;
        default:
            for (int i = 1; i < n; ++i)
                if (uni(0, 3) > 0) e.emplace_back(uni(0, i - 1), i);
            break;
    }
    return e;
}

enum WeightKind { tied, distinct, special };

float draw_weight(WeightKind k, int i) {
    if (k == tied) return static_cast<float>(uni(1, 3));
    if (k == distinct) return 0.5f * static_cast<float>(i + 1);
    static const float pool[] = {1.0f, 2.0f, 2.0f, 3.0f, 0.0f, -0.0f, -1.0f, -2.0f, -1.5f, NAN, INFINITY};
    return pool[uni(0, 10)];
}

// A graph on n nodes: shuffled node indices and list orders, every edge in both lists.
Graph make_graph(const std::vector<std::pair<int, int>>& shape, int n, WeightKind wk) {
    std::vector<int> perm(n);
    for (int i = 0; i < n; ++i) perm[i] = i;
    std::shuffle(perm.begin(), perm.end(), rng);
    std::vector<float> ws;
    for (std::size_t i = 0; i < shape.size(); ++i) ws.push_back(draw_weight(wk, static_cast<int>(i)));
    if (wk == distinct) std::shuffle(ws.begin(), ws.end(), rng);
    Graph g;
    g.n = n;
    g.adj.assign(n, {});
    g.w.assign(n, {});
    g.labels.assign(n, -1);
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const int a = perm[shape[i].first], b = perm[shape[i].second];
        g.adj[a].push_back(b);
        g.w[a].push_back(ws[i]);
        g.adj[b].push_back(a);
        g.w[b].push_back(ws[i]);
    }
    // Lists in neighbour order, as the bulk loader lays them out, a third of the time.
    const bool in_order = uni(0, 2) == 0;
    for (int i = 0; i < n; ++i) {
        std::vector<std::size_t> o(g.adj[i].size());
        for (std::size_t k = 0; k < o.size(); ++k) o[k] = k;
        std::shuffle(o.begin(), o.end(), rng);
        if (in_order) std::sort(o.begin(), o.end(), [&](std::size_t x, std::size_t y) { return g.adj[i][x] < g.adj[i][y]; });
        std::vector<std::int64_t> a2;
        std::vector<float> w2;
        for (std::size_t k : o) {
            a2.push_back(g.adj[i][k]);
            w2.push_back(g.w[i][k]);
        }
        g.adj[i] = a2;
        g.w[i] = w2;
    }
    return g;
}

// Label patterns: none, one label, sparse or dense over 0..k.
void draw_labels(Graph& g, bool allow_minus_two) {
    const int pattern = uni(0, 4);
    const int k = uni(0, 5);
    const bool high = uni(0, 3) == 0;  // labels from the top of the range: 127, 126, ...
    for (int i = 0; i < g.n; ++i) {
        int l = -1;
        if (pattern == 1) l = uni(0, 3) == 0 ? 0 : -1;
        if (pattern == 2 || pattern == 3) l = uni(0, 2) == 0 ? uni(0, k) : -1;
        if (pattern == 4) l = uni(0, k);
        if (high && l >= 0) l = 127 - l;
        if (allow_minus_two && uni(0, 7) == 0) l = -2;
        g.labels[i] = static_cast<std::int8_t>(l);
    }
}

// ------------------------------------------------------------------ checks

int failures = 0;

bool same(const CutResult& x, const CutList& cx, const CutResult& y, const CutList& cy) {
    return x.status == y.status && x.detail_a == y.detail_a && x.detail_b == y.detail_b && cx == cy;
}

bool same_lists(const Graph& x, const Graph& y) {
    for (int i = 0; i < x.n; ++i) {
        if (x.adj[i] != y.adj[i] || x.w[i].size() != y.w[i].size()) return false;
        for (std::size_t k = 0; k < x.w[i].size(); ++k)
            if (std::memcmp(&x.w[i][k], &y.w[i][k], sizeof(float)) != 0) return false;
    }
    return true;
}

void dump(const char* what, const Graph& g) {
    std::fprintf(stderr, "FAIL: %s\n  n=%d labels:", what, g.n);
    for (int i = 0; i < g.n; ++i) std::fprintf(stderr, " %d", g.labels[i]);
    std::fprintf(stderr, "\n");
    for (int i = 0; i < g.n; ++i) {
        std::fprintf(stderr, "  %d:", i);
        for (std::size_t k = 0; k < g.adj[i].size(); ++k)
            std::fprintf(stderr, " %lld(%g)", static_cast<long long>(g.adj[i][k]), static_cast<double>(g.w[i][k]));
        std::fprintf(stderr, "\n");
    }
    ++failures;
}

void print_plan(const char* who, const CutResult& r, const CutList& c) {
    std::fprintf(stderr, "  %s: status %d (%lld, %lld), %zu cuts:", who, static_cast<int>(r.status),
                 static_cast<long long>(r.detail_a), static_cast<long long>(r.detail_b), c.size());
    for (auto [a, b] : c) std::fprintf(stderr, " %d-%d", a, b);
    std::fprintf(stderr, "\n");
}

struct Counts {
    int cases = 0, brute = 0, brute_skipped = 0, cutting = 0, errors = 0, subgraphs = 0, edge_lists = 0;
};

bool same_weights(const std::vector<float>& x, const std::vector<float>& y) {
    return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) == 0);
}

// ------------------------------------------------------------------ edge lists

Graph from_edges(int n, const std::vector<std::tuple<int, int, float>>& edges, std::vector<int> labels);

struct EdgeList {
    std::vector<std::int32_t> ends;
    std::vector<float> w;
};

// One edge per entry (i, v) with i <= v, in shuffled order and orientation.
EdgeList edge_list_of(const Graph& g) {
    std::vector<std::tuple<int, int, float>> edges;
    for (int i = 0; i < g.n; ++i)
        for (std::size_t p = 0; p < g.adj[i].size(); ++p)
            if (i <= g.adj[i][p]) edges.emplace_back(i, static_cast<int>(g.adj[i][p]), g.w[i][p]);
    std::shuffle(edges.begin(), edges.end(), rng);
    EdgeList out;
    for (auto [a, b, w] : edges) {
        if (uni(0, 1)) std::swap(a, b);
        out.ends.push_back(a);
        out.ends.push_back(b);
        out.w.push_back(w);
    }
    return out;
}

// The lists an edge list stands for, as cluster_edges lays them out: each edge in the lists of
// both its ends, every list in neighbour order.
Graph lists_of(const Graph& g, const EdgeList& e) {
    std::vector<std::tuple<int, int, float>> edges;
    for (std::size_t k = 0; k < e.w.size(); ++k) edges.emplace_back(e.ends[2 * k], e.ends[2 * k + 1], e.w[k]);
    Graph s = from_edges(g.n, edges, {});
    s.labels = g.labels;
    for (int i = 0; i < s.n; ++i) {
        std::vector<std::size_t> o(s.adj[i].size());
        std::iota(o.begin(), o.end(), std::size_t{0});
        std::stable_sort(o.begin(), o.end(), [&](std::size_t x, std::size_t y) { return s.adj[i][x] < s.adj[i][y]; });
        std::vector<std::int64_t> a;
        std::vector<float> w;
        for (std::size_t k : o) {
            a.push_back(s.adj[i][k]);
            w.push_back(s.w[i][k]);
        }
        s.adj[i] = a;
        s.w[i] = w;
    }
    return s;
}

// Each list as a sorted multiset of (neighbour, weight bits).
std::vector<std::vector<std::pair<std::int64_t, std::uint32_t>>> entry_sets(const Graph& g) {
    std::vector<std::vector<std::pair<std::int64_t, std::uint32_t>>> out(g.n);
    for (int i = 0; i < g.n; ++i) {
        for (std::size_t p = 0; p < g.adj[i].size(); ++p) {
            std::uint32_t bits;
            std::memcpy(&bits, &g.w[i][p], sizeof bits);
            out[i].emplace_back(g.adj[i][p], bits);
        }
        std::sort(out[i].begin(), out[i].end());
    }
    return out;
}

// plan_edge_list_cuts on the edge list of g against plan_cuts on the lists that list stands for:
// the same plan and labels where those lists are a simple forest, a refusal that leaves the
// weights as they were otherwise. Lists that no edge list stands for (one-sided entries, uneven
// weights) are left out.
void check_edge_list(const Graph& g, Counts& k) {
    const EdgeList e = edge_list_of(g);
    const Graph s = lists_of(g, e);
    if (entry_sets(s) != entry_sets(g)) return;
    std::vector<float> w = e.w;
    CutList cl, cs;
    std::vector<std::int8_t> al{7}, as{7};
    const CutResult rl = brov::plan_edge_list_cuts(g.n, static_cast<std::int64_t>(e.w.size()), e.ends.data(),
                                                   g.labels.data(), w, cl, {}, &al);
    View v(s);
    const CutResult rs = brov::plan_cuts(v.in, cs, {}, &as);
    if (rl.status == CutStatus::needs_fallback) {
        if (rs.swept) dump("the edge list planner refused a simple forest", g);
        if (!same_weights(w, e.w)) dump("the edge list planner refused a graph but spent its weights", g);
        return;
    }
    ++k.edge_lists;
    if (!rs.swept || !same(rl, cl, rs, cs) || rl.labelled != rs.labelled || al != as) {
        dump("the edge list planner differs from the planner on its lists", g);
        print_plan("edge list", rl, cl);
        print_plan("lists", rs, cs);
    }
}

// The planned subgraph build (what find_subgraph_with_labels returns for storage read in place)
// against the literal driver's: the same lists in the same order, or the same error.
void check_subgraph(const Graph& g, Counts& k) {
    Brute b{&g, 2000000};
    std::vector<std::vector<int>> sa;
    std::vector<std::vector<float>> sw;
    const bool built = b.subgraph(sa, sw);
    if (b.gave_up) return;
    View v(g);
    std::vector<brov::SubgraphEdge> edges;
    const CutResult r = brov::plan_subgraph(v.in, edges);
    ++k.subgraphs;
    if (!built || r.status != CutStatus::ok) {
        if (built || r.status != b.status || r.detail_a != b.da || r.detail_b != b.db) {
            dump("subgraph build fails unlike the literal driver's", g);
            std::fprintf(stderr, "planned status %d (%lld, %lld), driver %d (%lld, %lld)\n", static_cast<int>(r.status),
                         static_cast<long long>(r.detail_a), static_cast<long long>(r.detail_b),
                         built ? 0 : static_cast<int>(b.status), static_cast<long long>(b.da), static_cast<long long>(b.db));
        }
        return;
    }
    std::vector<std::vector<int>> pa(g.n);
    std::vector<std::vector<float>> pw(g.n);
    for (const brov::SubgraphEdge& e : edges) {
        pa[e.a].push_back(e.b);
        pw[e.a].push_back(g.w[e.a][e.pab]);
        pa[e.b].push_back(e.a);
        pw[e.b].push_back(g.w[e.b][e.pba]);
    }
    bool same_w = true;
    for (int i = 0; i < g.n; ++i) same_w = same_w && same_weights(pw[i], sw[i]);
    if (pa != sa || !same_w) dump("planned subgraph differs from the literal driver's", g);
}

// The exact planner against the literal driver; returns false when the driver gave up.
bool check_against_brute(const Graph& g, const CutResult& r, const CutList& c, long limit, Counts& k) {
    Brute b{&g, 0};
    CutList bc;
    const Graph after = b.run(bc, limit);
    if (b.gave_up) {
        ++k.brute_skipped;
        return false;
    }
    ++k.brute;
    CutResult br;
    br.status = b.status;
    br.detail_a = b.da;
    br.detail_b = b.db;
    if (!same(r, c, br, bc)) {
        dump("exact planner differs from the literal driver", g);
        print_plan("planner", r, c);
        print_plan("driver ", br, bc);
        return true;
    }
    Graph replay = g;
    apply_cuts(replay, c);
    if (!same_lists(replay, after)) dump("replaying the cuts does not give the driver's lists", g);
    return true;
}

// The labels after the cutting phase as the driver writes them: the cuts removed, each label's
// nodes chained in increasing order, then each group (by first appearance) flooding its piece
// from its first node; a piece that an earlier flood reached is not flooded again.
std::vector<std::int8_t> flood_after(const Graph& g, const CutList& cuts) {
    Graph cut = g;
    apply_cuts(cut, cuts);
    std::vector<int> first_of(256, -1), last_of(256, -1), firsts;
    for (int i = 0; i < g.n; ++i) {
        const int l = static_cast<std::uint8_t>(g.labels[i]);
        if (g.labels[i] == -1) continue;
        if (first_of[l] < 0) {
            first_of[l] = i;
            firsts.push_back(i);
        } else {
            cut.adj[last_of[l]].push_back(i);
            cut.adj[i].push_back(last_of[l]);
        }
        last_of[l] = i;
    }
    std::vector<std::int8_t> out = g.labels;
    std::vector<char> seen(g.n, 0);
    for (int root : firsts) {
        if (seen[root]) continue;
        std::vector<int> stack{root};
        seen[root] = 1;
        while (!stack.empty()) {
            const int x = stack.back();
            stack.pop_back();
            out[x] = g.labels[root];
            for (std::int64_t y : cut.adj[x])
                if (!seen[y]) {
                    seen[y] = 1;
                    stack.push_back(static_cast<int>(y));
                }
        }
    }
    return out;
}

// The labels that the sweep reports with a plan that ends ok are those of the flood; with any
// other ending it reports none.
void check_labels_after(const Graph& g) {
    View v(g);
    CutOptions o;
    o.method = CutMethod::sweep;
    CutList cuts;
    std::vector<std::int8_t> after{7};
    const CutResult r = brov::plan_cuts(v.in, cuts, o, &after);
    if (r.status != CutStatus::ok) {
        if (r.labelled || !after.empty()) dump("labels reported after a plan that fails", g);
    } else if (!r.labelled || after != flood_after(g, cuts)) {
        dump("the sweep's labels differ from the flood's", g);
    }
}

void check_forests(int cases, int max_n, Counts& k) {
    for (int t = 0; t < cases; ++t) {
        const Shape s = static_cast<Shape>(t % shape_count);
        const int n = uni(1, max_n);
        Graph g = make_graph(make_shape(s, n), n, static_cast<WeightKind>(uni(0, 2)));
        draw_labels(g, false);
        ++k.cases;
        View v(g);
        if (!brov::is_simple_forest(v.in)) {
            dump((std::string("a ") + shape_name[s] + " is not taken for a simple forest").c_str(), g);
            continue;
        }
        CutList cs, ce;
        const CutResult rs = plan(g, cs, CutMethod::sweep);
        const CutResult re = plan(g, ce, CutMethod::exact);
        if (!rs.swept || re.swept) dump("wrong planner ran", g);
        if (!cs.empty()) ++k.cutting;
        if (rs.status != CutStatus::ok) ++k.errors;
        if (!same(rs, cs, re, ce)) {
            dump((std::string("sweep differs from the exact planner on a ") + shape_name[s]).c_str(), g);
            print_plan("sweep", rs, cs);
            print_plan("exact", re, ce);
            continue;
        }
        if (n <= 40) check_against_brute(g, re, ce, 2000000, k);
        check_subgraph(g, k);
        check_labels_after(g);
        check_edge_list(g, k);
    }
}

// Inputs the sweep must refuse: each mutation below breaks one of its conditions for sure.
enum Mutation { self_loop, duplicate, one_sided, uneven_weight, minus_two, extra_edges, mutation_count };
const char* mutation_name[] = {"self loop", "duplicate entry", "one-sided entry", "uneven weight", "label -2", "extra edges"};

bool mutate(Graph& g, Mutation m) {
    std::vector<std::pair<int, std::size_t>> entries;
    for (int i = 0; i < g.n; ++i)
        for (std::size_t p = 0; p < g.adj[i].size(); ++p) entries.emplace_back(i, p);
    auto insert_at = [&](int x, std::int64_t v, float w) {
        const std::size_t p = static_cast<std::size_t>(uni(0, static_cast<int>(g.adj[x].size())));
        g.adj[x].insert(g.adj[x].begin() + static_cast<std::ptrdiff_t>(p), v);
        g.w[x].insert(g.w[x].begin() + static_cast<std::ptrdiff_t>(p), w);
    };
    switch (m) {
        case self_loop: {
            const int x = uni(0, g.n - 1);
            insert_at(x, x, draw_weight(tied, 0));
            if (uni(0, 1)) insert_at(x, x, draw_weight(tied, 0));
            return true;
        }
        case duplicate: {
            if (entries.empty()) return false;
            auto [x, p] = entries[static_cast<std::size_t>(uni(0, static_cast<int>(entries.size()) - 1))];
            const std::int64_t v = g.adj[x][p];
            insert_at(x, v, uni(0, 1) ? g.w[x][p] : draw_weight(tied, 0));
            if (uni(0, 1)) insert_at(static_cast<int>(v), x, draw_weight(tied, 0));
            return true;
        }
        case one_sided: {
            if (entries.empty()) return false;
            auto [x, p] = entries[static_cast<std::size_t>(uni(0, static_cast<int>(entries.size()) - 1))];
            g.adj[x].erase(g.adj[x].begin() + static_cast<std::ptrdiff_t>(p));
            g.w[x].erase(g.w[x].begin() + static_cast<std::ptrdiff_t>(p));
            return true;
        }
        case uneven_weight: {
            if (entries.empty()) return false;
            auto [x, p] = entries[static_cast<std::size_t>(uni(0, static_cast<int>(entries.size()) - 1))];
            const float old = g.w[x][p];
            float nw = old;
            while (nw == old || (!(nw >= -1.0f) && !(old >= -1.0f))) nw = static_cast<float>(uni(0, 4));
            g.w[x][p] = nw;
            return true;
        }
        case minus_two:
            g.labels[static_cast<std::size_t>(uni(0, g.n - 1))] = -2;
            return true;
        default: {
            // Not always a cycle (two trees of a forest may be joined), so not asserted.
            const int extra = uni(1, 3);
            for (int e = 0; e < extra; ++e) {
                const int a = uni(0, g.n - 1), b = uni(0, g.n - 1);
                if (a == b) continue;
                if (std::find(g.adj[a].begin(), g.adj[a].end(), b) != g.adj[a].end()) continue;
                const float w = draw_weight(tied, 0);
                insert_at(a, b, w);
                insert_at(b, a, w);
            }
            return false;
        }
    }
}

void check_other_inputs(int cases, int max_n, Counts& k) {
    for (int t = 0; t < cases; ++t) {
        const Mutation m = static_cast<Mutation>(t % mutation_count);
        const int n = uni(2, max_n);
        Graph g = make_graph(make_shape(static_cast<Shape>(uni(0, shape_count - 1)), n), n,
                             static_cast<WeightKind>(uni(0, 2)));
        draw_labels(g, uni(0, 3) == 0);
        bool broken = mutate(g, m);
        if (uni(0, 2) == 0) {
            mutate(g, static_cast<Mutation>(uni(0, mutation_count - 1)));
            broken = false;  // the second change may undo the first (drop the duplicated entry, say)
        }
        ++k.cases;
        View v(g);
        if (broken && brov::is_simple_forest(v.in)) {
            dump((std::string("taken for a simple forest after: ") + mutation_name[m]).c_str(), g);
            continue;
        }
        CutList ca, ce;
        const CutResult ra = plan(g, ca, CutMethod::automatic);
        const CutResult re = plan(g, ce, CutMethod::exact);
        if (!same(ra, ca, re, ce)) dump("automatic and exact plans differ", g);
        if (!ce.empty()) ++k.cutting;
        if (re.status != CutStatus::ok) ++k.errors;
        check_against_brute(g, re, ce, 300000, k);
        check_subgraph(g, k);
        check_edge_list(g, k);
    }
}

Graph from_edges(int n, const std::vector<std::tuple<int, int, float>>& edges, std::vector<int> labels) {
    Graph g;
    g.n = n;
    g.adj.assign(n, {});
    g.w.assign(n, {});
    for (auto [a, b, w] : edges) {
        g.adj[a].push_back(b);
        g.w[a].push_back(w);
        g.adj[b].push_back(a);
        g.w[b].push_back(w);
    }
    for (int l : labels) g.labels.push_back(static_cast<std::int8_t>(l));
    return g;
}

void expect(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "FAIL: %s\n", what);
        ++failures;
    }
}

bool stop_now(void*) { return true; }

// Small graphs whose outcome is known by hand, plus depth and interruption.
int check_known_cases() {
    int n_checks = 0;
    auto both = [&](const Graph& g, CutStatus want, const CutList& want_cuts, std::int64_t a, std::int64_t b,
                    const char* what) {
        for (CutMethod m : {CutMethod::automatic, CutMethod::exact}) {
            CutList c;
            const CutResult r = plan(g, c, m);
            ++n_checks;
            if (r.status != want || c != want_cuts || (a >= 0 && (r.detail_a != a || r.detail_b != b))) {
                std::fprintf(stderr, "FAIL: %s (%s)\n", what, m == CutMethod::exact ? "exact" : "automatic");
                print_plan("got", r, c);
                ++failures;
            }
        }
    };
    // Ranks past what float32 counts exactly (rank_weights on more than 2^24 edges) order as the
    // ranks do: random trees cut the same with either floats standing for the ranks.
    {
        std::mt19937 rng(11);
        const std::int64_t many = std::int64_t(1) << 30;
        expect(brov::rank_as_float(many - 1, many) > brov::rank_as_float(many - 2, many) &&
                   std::isfinite(brov::rank_as_float(many - 1, many)) && brov::rank_as_float(1, many) > 0.0f,
               "ranks as floats stay increasing and finite up to 2^30");
        for (int t = 0; t < 300; ++t, ++n_checks) {
            const int n = 2 + static_cast<int>(rng() % 40);
            std::vector<int> order(n - 1), labels(n, -1);
            std::iota(order.begin(), order.end(), 1);
            std::shuffle(order.begin(), order.end(), rng);
            std::vector<std::tuple<int, int, float>> exact, beyond;
            for (int v = 1; v < n; ++v) {
                const int parent = static_cast<int>(rng() % v);
                exact.emplace_back(parent, v, brov::rank_as_float(order[v - 1], n - 1));
                beyond.emplace_back(parent, v, brov::rank_as_float(order[v - 1], many));
            }
            for (int k = 0; k < 4; ++k) labels[rng() % n] = static_cast<int>(rng() % 3);
            CutList a, b;
            const CutResult ra = plan(from_edges(n, exact, labels), a, CutMethod::automatic);
            const CutResult rb = plan(from_edges(n, beyond, labels), b, CutMethod::automatic);
            expect(ra.status == rb.status && a == b, "ranks beyond 2^24 cut as the ranks themselves");
        }
    }
    // Path 0-1-2-3-4 with labels at the ends: only the heaviest edge goes.
    both(from_edges(5, {{0, 1, 1.f}, {1, 2, 3.f}, {2, 3, 2.f}, {3, 4, 1.f}}, {0, -1, -1, -1, 1}), CutStatus::ok,
         {{1, 2}}, -1, -1, "worked chain");
    // Same label at both ends: nothing to cut.
    both(from_edges(3, {{0, 1, 1.f}, {1, 2, 2.f}}, {1, -1, 1}), CutStatus::ok, {}, -1, -1, "one label");
    // Three labels around an unlabelled centre with tied weights: the edge at the smallest node first.
    both(from_edges(4, {{3, 2, 5.f}, {3, 0, 5.f}, {3, 1, 5.f}}, {0, 1, 2, -1}), CutStatus::ok, {{0, 3}, {1, 3}}, -1,
         -1, "tied star");
    // Weights below -1 or NaN on the only path between labels.
    both(from_edges(3, {{0, 1, -2.f}, {1, 2, NAN}}, {0, -1, 1}), CutStatus::no_qualifying_max, {}, -1, -1,
         "no qualifying weight");
    // A qualifying edge is cut first, then only unqualifying ones join the labels.
    both(from_edges(4, {{3, 0, 4.f}, {3, 1, -3.f}, {3, 2, -3.f}}, {0, 1, 2, -1}), CutStatus::no_qualifying_max,
         {{0, 3}}, -1, -1, "error after a cut");
    // One duplicated entry and one missing mirror balance the entry counts; still not a forest,
    // whether the lists are short or long, sorted (bisected) or not (scanned).
    for (int extra : {0, 40, -40}) {
        const bool reversed = extra < 0;
        extra = std::abs(extra);
        Graph g = from_edges(3 + extra, {}, std::vector<int>(3 + extra, -1));
        g.adj[0] = {1, 1};
        g.w[0] = {1.f, 1.f};
        g.adj[1] = {0};
        g.w[1] = {1.f};
        g.adj[2] = {1};
        g.w[2] = {1.f};
        for (int k = 0; k < extra; ++k) {  // a sorted star around node 1 makes its list long
            g.adj[1].push_back(3 + k);
            g.w[1].push_back(2.f);
            g.adj[3 + k] = {1};
            g.w[3 + k] = {2.f};
        }
        if (reversed) {
            std::reverse(g.adj[1].begin(), g.adj[1].end());
            std::reverse(g.w[1].begin(), g.w[1].end());
        }
        View v(g);
        expect(!brov::is_simple_forest(v.in), "a duplicate balanced by a missing mirror is taken for a forest");
        ++n_checks;
    }
    // Whatever hangs off the paths between labels is stripped before the cycle test; a cycle behind
    // such a branch, a pair listed twice or uneven weights on it still rule the sweep out.
    {
        // A triangle of unlabelled nodes with a tail, beside a labelled pair.
        Graph g = from_edges(6, {{0, 1, 1.f}, {1, 2, 1.f}, {2, 0, 1.f}, {2, 3, 1.f}, {4, 5, 2.f}}, {-1, -1, -1, -1, 0, 1});
        View v(g);
        expect(!brov::is_simple_forest(v.in), "a cycle behind a stripped tail is taken for a forest");
        CutList ca, ce;
        expect(same(plan(g, ca, CutMethod::automatic), ca, plan(g, ce, CutMethod::exact), ce),
               "automatic and exact plans differ around a cycle behind a tail");
        ++n_checks;
    }
    {
        // 0 - 1 - 2 with a strippable branch 1 - 3 - 4 whose last pair is listed twice on both sides.
        Graph g = from_edges(5, {{0, 1, 1.f}, {1, 2, 1.f}, {1, 3, 1.f}, {3, 4, 1.f}, {3, 4, 1.f}}, {0, -1, 1, -1, -1});
        View v(g);
        expect(!brov::is_simple_forest(v.in), "a pair listed twice on a stripped branch is taken for a forest");
        g = from_edges(5, {{0, 1, 1.f}, {1, 2, 1.f}, {1, 3, 1.f}, {3, 4, 1.f}}, {0, -1, 1, -1, -1});
        g.w[4][0] = 5.f;
        View uneven(g);
        expect(!brov::is_simple_forest(uneven.in), "uneven weights on a stripped branch are taken for a forest");
        g.w[4][0] = 1.f;
        View even(g);
        expect(brov::is_simple_forest(even.in), "a labelled path with a branch is not taken for a forest");
        n_checks += 3;
    }
    // Exactly -1.0 qualifies.
    both(from_edges(2, {{0, 1, -1.f}}, {0, 1}), CutStatus::ok, {{0, 1}}, -1, -1, "weight -1.0");
    {
        Graph g = from_edges(2, {{0, 1, 3.f}}, {0, 1});
        g.w[1][0] = 2.f;
        both(g, CutStatus::lone_max, {}, -1, -1, "one-sided maximum");
    }
    // A triangle of three labels: the exploration comes back to (1, 0).
    both(from_edges(3, {{0, 1, 1.f}, {1, 2, 1.f}, {2, 0, 1.f}}, {0, 1, 2}), CutStatus::recursion, {}, 1, 0,
         "labelled triangle");
    {
        // Node 2 lists 1, but 1 does not list 2: copying the step 2 -> 1 fails looking 2 up in 1's list.
        Graph g = from_edges(3, {{0, 1, 1.f}}, {0, -1, 1});
        g.adj[2].push_back(1);
        g.w[2].push_back(1.f);
        both(g, CutStatus::not_in_list, {}, 2, 1, "one-sided list");
    }
    {
        // A doubled entry survives the first cut and is cut again with its second weight.
        Graph g = from_edges(2, {{0, 1, 2.f}}, {0, 1});
        g.adj[0].push_back(1);
        g.w[0].push_back(7.f);
        g.adj[1].push_back(0);
        g.w[1].push_back(7.f);
        both(g, CutStatus::ok, {{0, 1}, {0, 1}}, -1, -1, "doubled edge");
    }
    {
        // Out-of-range neighbour: left to the caller.
        Graph g = from_edges(2, {{0, 1, 1.f}}, {0, 1});
        g.adj[1].push_back(7);
        g.w[1].push_back(1.f);
        both(g, CutStatus::needs_fallback, {}, 1, 7, "neighbour out of range");
    }
    // Deep chain: 100000 nodes, labels at both ends, the heaviest edge in the middle.
    {
        const int n = 100000;
        std::vector<std::tuple<int, int, float>> e;
        for (int i = 1; i < n; ++i) e.emplace_back(i - 1, i, i == n / 2 ? 9.f : 1.f);
        std::vector<int> labels(n, -1);
        labels[0] = 0;
        labels[n - 1] = 1;
        both(from_edges(n, e, labels), CutStatus::ok, {{n / 2 - 1, n / 2}}, -1, -1, "deep chain");
    }
    {
        Graph g = from_edges(5, {{0, 1, 1.f}, {1, 2, 3.f}, {2, 3, 2.f}, {3, 4, 1.f}}, {0, -1, -1, -1, 1});
        View v(g);
        CutList c;
        CutOptions o;
        o.should_stop = stop_now;
        const CutResult r = brov::plan_cuts(v.in, c, o);  // tiny input: fewer steps than one poll
        expect(r.status == CutStatus::ok, "a tiny plan finishes before the first poll");
        const int n = 300000;
        std::vector<std::tuple<int, int, float>> e;
        for (int i = 1; i < n; ++i) e.emplace_back(i - 1, i, static_cast<float>(i % 7));
        std::vector<int> labels(n, -1);
        for (int i = 0; i < n; i += 5) labels[i] = i % 3;
        Graph big = from_edges(n, e, labels);
        View bv(big);
        for (CutMethod m : {CutMethod::sweep, CutMethod::exact}) {
            o.method = m;
            expect(brov::plan_cuts(bv.in, c, o).status == CutStatus::interrupted, "interrupted on request");
            n_checks += 1;
        }
    }
    return n_checks;
}

// ------------------------------------------------------------------ modes

int bench(int n) {
    std::vector<std::pair<int, int>> shape = make_shape(random_tree, n);
    Graph g = make_graph(shape, n, distinct);
    for (int i = 0; i < n; ++i) g.labels[i] = static_cast<std::int8_t>(uni(0, 99) == 0 ? uni(0, 9) : -1);
    View v(g);
    CutList c;
    const auto t0 = std::chrono::steady_clock::now();
    const CutResult r = brov::plan_cuts(v.in, c);
    const auto t1 = std::chrono::steady_clock::now();
    std::printf("sweep on a %d-node random tree: %.3f s, %zu cuts, status %d, swept %d\n", n,
                std::chrono::duration<double>(t1 - t0).count(), c.size(), static_cast<int>(r.status),
                static_cast<int>(r.swept));
    return 0;
}

// Input: per graph "n", then n labels, then per node "size v w v w ..."; weights in C float syntax.
// Output: per graph "status detail_a detail_b swept count a b a b ...".
int batch() {
    int n;
    while (std::cin >> n) {
        Graph g;
        g.n = n;
        g.adj.assign(n, {});
        g.w.assign(n, {});
        for (int i = 0; i < n; ++i) {
            int l;
            std::cin >> l;
            g.labels.push_back(static_cast<std::int8_t>(l));
        }
        for (int i = 0; i < n; ++i) {
            int s;
            std::cin >> s;
            for (int k = 0; k < s; ++k) {
                long long v;
                std::string w;
                std::cin >> v >> w;
                g.adj[i].push_back(v);
                g.w[i].push_back(std::strtof(w.c_str(), nullptr));
            }
        }
        CutList c;
        const CutResult r = plan(g, c, CutMethod::automatic);
        std::printf("%d %lld %lld %d %zu", static_cast<int>(r.status), static_cast<long long>(r.detail_a),
                    static_cast<long long>(r.detail_b), static_cast<int>(r.swept), c.size());
        for (auto [a, b] : c) std::printf(" %d %d", a, b);
        std::printf("\n");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "--bench") == 0) return bench(std::atoi(argv[2]));
    if (argc > 1 && std::strcmp(argv[1], "--batch") == 0) return batch();

    const auto t0 = std::chrono::steady_clock::now();
    const int known = check_known_cases();
    Counts small, large, other;
    auto lap = [last = t0](const char* what) mutable {
        const auto now = std::chrono::steady_clock::now();
        std::fprintf(stderr, "[%s: %.1f s]\n", what, std::chrono::duration<double>(now - last).count());
        last = now;
    };
    lap("known cases");
    check_forests(3000, 40, small);
    lap("small forests");
    check_forests(200, 500, large);
    lap("large forests");
    check_other_inputs(3000, 14, other);
    // Long lists too (stars, caterpillars), sorted or not, where entries are looked up by bisection.
    check_other_inputs(600, 60, other);
    lap("other inputs");
    std::printf("known cases: %d checks\n", known);
    std::printf("simple forests up to 40 nodes: %d cases (%d with cuts, %d ending in an error), %d checked against the "
                "literal driver, %d too costly for it\n",
                small.cases, small.cutting, small.errors, small.brute, small.brute_skipped);
    std::printf("simple forests up to 500 nodes: %d cases (%d with cuts), sweep against exact planner\n", large.cases,
                large.cutting);
    std::printf("other inputs up to 14 nodes (and some up to 60): %d cases (%d with cuts, %d ending in an error), %d checked against the "
                "literal driver, %d too costly for it\n",
                other.cases, other.cutting, other.errors, other.brute, other.brute_skipped);
    std::printf("subgraph builds checked against the literal driver: %d\n", small.subgraphs + large.subgraphs + other.subgraphs);
    std::printf("edge lists planned as their lists: %d\n", small.edge_lists + large.edge_lists + other.edge_lists);
    std::printf("%.1f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    const int total = known + small.cases + large.cases + other.cases;
    std::printf("%d passed, %d failed\n", total - failures, failures);
    return failures == 0 ? 0 : 1;
}
