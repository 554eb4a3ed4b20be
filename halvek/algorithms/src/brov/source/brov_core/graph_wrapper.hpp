// GraphWrapper: a fixed number of bounded lists of one element type (int64 or float32),
// with optional per-list hash sets of int64. Used for adjacency lists and edge weights.
//
// Each list has a fixed capacity (three times the max_size given at construction), but its
// storage grows on demand up to that capacity, so memory follows what is stored rather than
// count x capacity. The lists live together in slabs, large blocks handed out in the order the
// lists ask for room, so lists filled one after another (by append as well as in bulk) sit side
// by side in memory. A list that outgrows its room moves to a block twice as large at the end of
// the newest slab; the block it leaves is not reused, which costs at most the list's final room.
// The inline helpers below are the only code that touches the storage; the Python-facing
// methods (graph_wrapper.cpp) and the native algorithms both use them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "cpython/py_ref.hpp"

namespace brov {

using ITYPE_t = std::int64_t;
using DTYPE32_t = float;

enum DataType : std::uint32_t { INT64 = 0, FLOAT32 = 1 };

using IntSet = std::unordered_set<std::int64_t>;

// A block of list storage: this header, then `capacity` bytes of which the first `used` are
// handed out. Slabs form a chain from the newest one back.
struct alignas(16) Slab {
    Slab* previous;
    std::size_t capacity;
    std::size_t used;
};

struct GraphWrapperObject {
    PyObject_HEAD
    void** _data;          // _count list buffers, null until the list first stores something
    std::int32_t* _sizes;  // elements currently in each list
    std::int32_t* _room;   // elements each buffer can hold now (grows up to _max_size)
    std::uint64_t _count;  // number of lists
    DataType _dtype;
    std::int32_t _max_size;  // capacity of every list: three times the max_size asked for
    IntSet** _int_sets;      // INT64 with lookup only: one set per list, created on first insert
    Slab* _slabs;            // the newest slab of list storage, null before the first list stores
    std::int32_t _busy;      // running native calls that hold pointers into the storage
};

// The type object lives in brov_core; other extension modules fetch it from there at import.
extern PyTypeObject GraphWrapperType;

inline std::size_t element_size(DataType t) { return t == INT64 ? sizeof(ITYPE_t) : sizeof(DTYPE32_t); }

inline ITYPE_t* int_list(GraphWrapperObject* g, std::uint64_t i) { return static_cast<ITYPE_t*>(g->_data[i]); }
inline DTYPE32_t* float_list(GraphWrapperObject* g, std::uint64_t i) {
    return static_cast<DTYPE32_t*>(g->_data[i]);
}

// Both containers hold as many lists as the other, each as long as its counterpart.
inline bool same_list_sizes(const GraphWrapperObject* a, const GraphWrapperObject* b) {
    if (a->_count != b->_count) return false;
    for (std::uint64_t i = 0; i < a->_count; ++i)
        if (a->_sizes[i] != b->_sizes[i]) return false;
    return true;
}

// Slab sizes grow with the container, from small (a container of a few short lists stays small)
// to a cap (the unused tail of the newest slab stays bounded).
constexpr std::size_t kFirstSlabBytes = 256;
constexpr std::size_t kLargestSlabBytes = std::size_t(1) << 20;

inline char* slab_bytes(Slab* s) { return reinterpret_cast<char*>(s + 1); }

// `bytes` (a multiple of 8) of list storage, or null when out of memory. A block larger than a
// quarter of the next slab gets a slab of its own, placed behind the newest, which keeps filling.
inline void* take_storage(GraphWrapperObject* g, std::size_t bytes) {
    Slab* top = g->_slabs;
    if (top && top->capacity - top->used >= bytes) {
        void* block = slab_bytes(top) + top->used;
        top->used += bytes;
        return block;
    }
    std::size_t next = top ? top->capacity * 2 : kFirstSlabBytes;
    if (next > kLargestSlabBytes) next = kLargestSlabBytes;
    const bool own = bytes > next / 4;
    const std::size_t capacity = own ? bytes : next;
    auto* slab = static_cast<Slab*>(std::malloc(sizeof(Slab) + capacity));
    if (!slab) return nullptr;
    slab->capacity = capacity;
    slab->used = bytes;
    if (own && top) {
        slab->previous = top->previous;
        top->previous = slab;
    } else {
        slab->previous = top;
        g->_slabs = slab;
    }
    return slab_bytes(slab);
}

inline void release_slabs(GraphWrapperObject* g) {
    for (Slab* s = g->_slabs; s;) {
        Slab* previous = s->previous;
        std::free(s);
        s = previous;
    }
    g->_slabs = nullptr;
}

// Makes room for `need` elements in list i (need <= _max_size). Returns false when out of memory,
// leaving the list as it was.
inline bool reserve_list(GraphWrapperObject* g, std::uint64_t i, std::int32_t need) {
    if (need <= g->_room[i]) return true;
    std::int64_t room = g->_room[i] ? static_cast<std::int64_t>(g->_room[i]) * 2 : 4;
    if (room < need) room = need;
    if (room > g->_max_size) room = g->_max_size;
    const std::size_t es = element_size(g->_dtype);
    const std::size_t bytes = (static_cast<std::size_t>(room) * es + 7) & ~static_cast<std::size_t>(7);
    void* moved = take_storage(g, bytes);
    if (!moved) return false;
    if (g->_sizes[i] > 0) std::memcpy(moved, g->_data[i], static_cast<std::size_t>(g->_sizes[i]) * es);
    g->_data[i] = moved;
    g->_room[i] = static_cast<std::int32_t>(room);
    return true;
}

// Removes element j of list i, keeping the order of the others. Caller checks the bounds.
inline void erase_at(GraphWrapperObject* g, std::uint64_t i, std::int32_t j) {
    std::size_t es = element_size(g->_dtype);
    char* base = static_cast<char*>(g->_data[i]);
    std::int32_t tail = g->_sizes[i] - j - 1;
    if (tail > 0) std::memmove(base + j * es, base + (j + 1) * es, static_cast<std::size_t>(tail) * es);
    g->_sizes[i] -= 1;
}

// Inserts v into the lookup set of list i, creating the set on first use. May throw bad_alloc.
inline void remember_value(GraphWrapperObject* g, std::uint64_t i, std::int64_t v) {
    if (!g->_int_sets[i]) g->_int_sets[i] = new IntSet();
    g->_int_sets[i]->insert(v);
}

inline bool is_exact_graph_wrapper(PyObject* obj) { return Py_TYPE(obj) == &GraphWrapperType; }
inline GraphWrapperObject* as_graph(PyObject* obj) { return reinterpret_cast<GraphWrapperObject*>(obj); }

// Held by a native call for as long as it keeps pointers, sizes or checked indices of a
// container's storage across points where Python code can run (signal handlers, finalisers,
// other threads): while held, append, pop and pop_max called from Python raise BufferError, so
// the storage cannot move or shrink under the call. Anything but a GraphWrapper is left alone.
class BusyPin {
public:
    BusyPin() = default;
    explicit BusyPin(PyObject* obj) { hold(obj); }
    BusyPin(const BusyPin&) = delete;
    BusyPin& operator=(const BusyPin&) = delete;
    ~BusyPin() { release(); }
    void release() {
        if (owner_ && !interpreter_ending()) as_graph(owner_.get())->_busy -= 1;
        owner_ = Ref();
    }
    void hold(PyObject* obj) {
        if (obj && PyObject_TypeCheck(obj, &GraphWrapperType)) hold_graph(obj);
    }
    // For an object already known to be a GraphWrapper.
    void hold_graph(PyObject* obj) {
        if (owner_) return;
        owner_ = Ref::borrow(obj);
        as_graph(obj)->_busy += 1;
    }

private:
    Ref owner_;
};

// BufferError while a running call holds the container's storage.
void refuse_if_busy(GraphWrapperObject* g);

// The container operations as the module's own code calls them (graph_wrapper.cpp). They raise
// PythonError with the Python exception set. They run the container's own operation on its
// storage and never call an override; so do push_int and push_float, which fill the containers
// that the module creates itself (exact GraphWrapper objects, which have no overrides). The
// containers passed in are reached through ContainerAccess (container_access.hpp), which calls
// a Python subclass's override of a method when there is one.
void append_native(GraphWrapperObject* g, std::int64_t index, PyObject* value);
Ref pop_native(GraphWrapperObject* g, std::int32_t list_index, std::int32_t element_index);
Ref pop_max_native(GraphWrapperObject* g);
bool contains_native(GraphWrapperObject* g, std::int64_t index, std::int64_t value);
Ref to_numpy_native(GraphWrapperObject* g, std::int64_t index);

// Nearest float to d, without relying on an out-of-range double-to-float conversion.
float round_to_float(double d);

void push_int(GraphWrapperObject* g, std::int64_t index, std::int64_t v);
void push_float(GraphWrapperObject* g, std::int64_t index, float v);

// The operations that a Python subclass may override, in the order of the type's table.
enum class Operation { append, pop_max, pop, contains, to_numpy };

// True when `attr` is GraphWrapper's own method `op` bound to `self`.
bool is_native_method(PyObject* attr, PyObject* self, Operation op);

}  // namespace brov
