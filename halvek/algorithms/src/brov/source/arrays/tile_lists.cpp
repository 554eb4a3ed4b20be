#include "arrays/tile_lists.hpp"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

// A copy of the product kernel for processors with AVX2 and FMA, chosen at run time; the kernel is
// inlined into it, so that it is compiled for those instructions.
#if defined(__GNUC__) && defined(__x86_64__)
#define BROV_AVX2 1
#endif
#ifdef __GNUC__
#define BROV_INLINE inline __attribute__((always_inline))
#else
#define BROV_INLINE inline
#endif

namespace brov {
namespace {

using Index = std::int64_t;
constexpr int kRows = 4;  // rows per kernel call

template <typename T, int B>
constexpr Index kPanel = 2 * B / sizeof(T);  // columns per panel: two vectors of B bytes

#ifdef __GNUC__
// B bytes of T (GCC's vector extension), loaded and stored through pointers of element alignment,
// which may alias T: a kernel call holds 4 x 2 vectors of sums in registers.
template <typename T, int B>
struct VectorOf;
template <>
struct VectorOf<float, 16> { typedef float type __attribute__((vector_size(16), aligned(4), may_alias)); };
template <>
struct VectorOf<float, 32> { typedef float type __attribute__((vector_size(32), aligned(4), may_alias)); };
template <>
struct VectorOf<double, 16> { typedef double type __attribute__((vector_size(16), aligned(8), may_alias)); };
template <>
struct VectorOf<double, 32> { typedef double type __attribute__((vector_size(32), aligned(8), may_alias)); };
#endif

// Runs work(t) for t in [0, count) on this thread and count - 1 helpers.
template <typename Work>
void on_threads(Index count, const Work& work) {
    std::vector<std::thread> helpers;
    for (Index t = 1; t < count; ++t) {
        try {
            helpers.emplace_back(work, t);
        } catch (const std::system_error&) {
            work(t);  // no thread to spare: this one takes the share
        }
    }
    work(0);
    for (auto& helper : helpers) helper.join();
}

// out[r][c] = sum over t of a[r][t] * panel[t][c], for R rows of a (stride `width`).
#ifdef __GNUC__
template <typename T, int B, int R>
BROV_INLINE void kernel(const T* a, Index width, const T* panel, T* out) {
    using V = typename VectorOf<T, B>::type;
    V acc[R][2] = {};
    for (Index t = 0; t < width; ++t) {
        const V* b = reinterpret_cast<const V*>(panel + t * kPanel<T, B>);
        const V b0 = b[0], b1 = b[1];
        for (int r = 0; r < R; ++r) {
            const T x = a[r * width + t];  // a scalar operand: one broadcast
            acc[r][0] += b0 * x;
            acc[r][1] += b1 * x;
        }
    }
    V* o = reinterpret_cast<V*>(out);
    for (int r = 0; r < R; ++r) {
        o[2 * r] = acc[r][0];
        o[2 * r + 1] = acc[r][1];
    }
}
#else
template <typename T, int B, int R>
inline void kernel(const T* a, Index width, const T* panel, T* out) {
    constexpr Index columns = kPanel<T, B>;
    T acc[R][columns] = {};
    for (Index t = 0; t < width; ++t)
        for (int r = 0; r < R; ++r)
            for (Index c = 0; c < columns; ++c) acc[r][c] += a[r * width + t] * panel[t * columns + c];
    for (int r = 0; r < R; ++r)
        for (Index c = 0; c < columns; ++c) out[r * columns + c] = acc[r][c];
}
#endif

// h[i][j] for rows [first, last) of the block: `packed` holds the columns in panels of kPanel
// (the last one padded with zeros), each stored coordinate by coordinate.
template <typename T, int B>
BROV_INLINE void products(const T* left, const T* packed, Index cols, Index width,
                                                    Index first, Index last, T* h) {
    constexpr Index panel_width = kPanel<T, B>;
    T block[kRows * panel_width];
    const Index panels = (cols + panel_width - 1) / panel_width;
    for (Index i = first; i < last; i += kRows) {
        const Index count = last - i < kRows ? last - i : kRows;
        for (Index p = 0; p < panels; ++p) {
            const T* panel = packed + p * width * panel_width;
            switch (count) {
                case 4: kernel<T, B, 4>(left + i * width, width, panel, block); break;
                case 3: kernel<T, B, 3>(left + i * width, width, panel, block); break;
                case 2: kernel<T, B, 2>(left + i * width, width, panel, block); break;
                default: kernel<T, B, 1>(left + i * width, width, panel, block); break;
            }
            const Index c0 = p * panel_width, c1 = cols < c0 + panel_width ? cols : c0 + panel_width;
            for (Index r = 0; r < count; ++r)
                for (Index c = c0; c < c1; ++c) h[(i + r) * cols + c] = block[r * panel_width + c - c0];
        }
    }
}

#ifdef BROV_AVX2
template <typename T>
__attribute__((target("avx2,fma"))) void products_avx2(const T* left, const T* packed, Index cols, Index width,
                                                       Index first, Index last, T* h) {
    products<T, 32>(left, packed, cols, width, first, last, h);
}
#endif

// Whether the wide kernel runs here.
bool wide_kernel() {
#ifdef BROV_AVX2
    static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return wide;
#else
    return false;
#endif
}

// Columns per packed panel.
template <typename T>
Index panel_width() {
    return wide_kernel() ? kPanel<T, 32> : kPanel<T, 16>;
}

template <typename T>
void products_of(const T* left, const T* packed, Index cols, Index width, Index first, Index last, T* h) {
#ifdef BROV_AVX2
    if (wide_kernel()) return products_avx2(left, packed, cols, width, first, last, h);
#endif
    products<T, 16>(left, packed, cols, width, first, last, h);
}

// Puts (v, j) into the list of k entries, after those of equal or larger value; the caller has
// checked that v is larger than the last value.
inline void insert(double* values, Index* index, int k, double v, Index j) {
    int t = k - 1;
    while (t > 0 && values[t - 1] < v) {
        values[t] = values[t - 1];
        index[t] = index[t - 1];
        --t;
    }
    values[t] = v;
    index[t] = j;
}

template <typename T>
void rows_part(const T* h, Index cols, Index r0, Index c0, Index first, Index last, const Index* comp, double* values,
               Index* index, int k) {
    for (Index i = first; i < last; ++i) {
        const Index p = r0 + i;
        double* v = values + p * k;
        Index* x = index + p * k;
        const T* line = h + i * cols;
        double bar = v[k - 1];
        const Index own = comp[p];
        for (Index j = 0; j < cols; ++j) {
            if (!(line[j] > bar) || comp[c0 + j] == own) continue;
            insert(v, x, k, line[j], c0 + j);
            bar = v[k - 1];
        }
    }
}

template <typename T>
void columns_part(const T* h, Index rows, Index cols, Index r0, Index c0, Index first, Index last, const Index* comp,
                  double* values, Index* index, int k, double* bars) {
    for (Index j = first; j < last; ++j) bars[j - first] = values[(c0 + j) * k + k - 1];
    for (Index i = 0; i < rows; ++i) {
        const T* line = h + i * cols;
        const Index own = comp[r0 + i];
        for (Index j = first; j < last; ++j) {
            if (!(line[j] > bars[j - first]) || comp[c0 + j] == own) continue;
            const Index p = c0 + j;
            insert(values + p * k, index + p * k, k, line[j], r0 + i);
            bars[j - first] = values[p * k + k - 1];
        }
    }
}

}  // namespace

template <typename T>
void update_tile_lists(const T* left, const T* right, Index rows, Index cols, Index width, Index r0, Index c0,
                       const Index* comp, double* values, Index* index, int k, int threads) {
    if (rows <= 0 || cols <= 0 || k <= 0) return;
    const Index panel_width = brov::panel_width<T>();
    const Index panels = (cols + panel_width - 1) / panel_width;
    std::vector<T> packed(static_cast<std::size_t>(panels * width * panel_width), T(0));
    for (Index j = 0; j < cols; ++j)
        for (Index t = 0; t < width; ++t)
            packed[((j / panel_width) * width + t) * panel_width + j % panel_width] = right[j * width + t];
    std::vector<T> h(static_cast<std::size_t>(rows * cols));
    const bool columns_too = r0 != c0;
    std::vector<double> bars(columns_too ? static_cast<std::size_t>(cols) : 0);  // each column's last value
    const Index wanted = std::max<Index>(1, std::min<Index>(threads, rows * cols * width / (1 << 18)));
    auto share = [wanted](Index t, Index count) { return count * t / wanted; };
    // Each thread takes a share of the rows (its products, then their lists), and after that a
    // share of the columns: no two threads write one list.
    on_threads(wanted, [&](Index t) {
        const Index first = share(t, rows), last = share(t + 1, rows);
        products_of(left, packed.data(), cols, width, first, last, h.data());
        rows_part(h.data(), cols, r0, c0, first, last, comp, values, index, k);
    });
    if (columns_too)
        on_threads(wanted, [&](Index t) {
            columns_part(h.data(), rows, cols, r0, c0, share(t, cols), share(t + 1, cols), comp, values, index, k,
                         bars.data() + share(t, cols));
        });
}

template void update_tile_lists<float>(const float*, const float*, Index, Index, Index, Index, Index, const Index*,
                                       double*, Index*, int, int);
template void update_tile_lists<double>(const double*, const double*, Index, Index, Index, Index, Index, const Index*,
                                        double*, Index*, int, int);

}  // namespace brov
