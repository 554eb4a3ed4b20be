// GraphWrapper: construction, destruction, the element operations, pop_max and the NumPy export.
#include "brov_core/graph_wrapper.hpp"

#include "cpython/numpy_api.hpp"

#include <cfloat>
#include <climits>
#include <cmath>
#include <vector>

#include "cpython/binding.hpp"
#include "cpython/compat.hpp"
#include "brov_core/container_access.hpp"
#include "arrays/max_rule.hpp"
#include "cpython/module_state.hpp"

namespace brov {

namespace {

const char* const kNoReduce = "no default __reduce__ due to non-trivial __cinit__";

}  // namespace

float round_to_float(double d) {
    if (std::isfinite(d) && std::fabs(d) > FLT_MAX) {
        const double limit = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);  // FLT_MAX + half an ulp
        double magnitude = std::fabs(d) >= limit ? static_cast<double>(INFINITY) : static_cast<double>(FLT_MAX);
        return static_cast<float>(std::copysign(magnitude, d));
    }
    return static_cast<float>(d);
}

namespace {

void release_storage(GraphWrapperObject* g) {
    release_slabs(g);
    std::free(g->_data);
    g->_data = nullptr;
    std::free(g->_sizes);
    g->_sizes = nullptr;
    std::free(g->_room);
    g->_room = nullptr;
    if (g->_int_sets) {
        for (std::uint64_t i = 0; i < g->_count; ++i) delete g->_int_sets[i];
        std::free(g->_int_sets);
        g->_int_sets = nullptr;
    }
}

template <typename T>
T* allocate_table(std::uint64_t count) {
    if (count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / sizeof(T)) throw std::bad_alloc();
    void* p = std::calloc(count ? count : 1, sizeof(T));
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
}

// The four tables of a container under construction, freed unless handed over.
struct Tables {
    void** data = nullptr;
    std::int32_t* sizes = nullptr;
    std::int32_t* room = nullptr;
    IntSet** int_sets = nullptr;
    Tables() = default;
    Tables(const Tables&) = delete;
    Tables& operator=(const Tables&) = delete;
    void handed_over() { data = nullptr, sizes = nullptr, room = nullptr, int_sets = nullptr; }
    ~Tables() {
        std::free(data);
        std::free(sizes);
        std::free(room);
        std::free(int_sets);
    }
};

const Param kInitParams[] = {
    {"count", Kind::size}, {"dtype", Kind::datatype}, {"max_size", Kind::int32}, {"lookup_opt", Kind::flag, true, 0}};
constexpr Signature kInit = signature("__cinit__", kInitParams, nullptr);

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Arguments arguments;
        match_arguments(kInit, args, kwargs, arguments);
        std::uint64_t count = arguments.size(0);
        std::uint32_t dtype = arguments.datatype(1);
        std::int32_t max_size = arguments.int32(2);
        bool lookup = arguments.flag(3);

        std::int64_t capacity = 3 * static_cast<std::int64_t>(max_size);
        if (capacity > INT32_MAX || capacity < INT32_MIN)
            raise(PyExc_OverflowError, "max_size is too large: three times it must fit in a 32-bit signed integer");

        if (count > 0 && dtype != INT64 && dtype != FLOAT32) raise(PyExc_ValueError, "Unsupported data type");
        // The tables are made before the object exists: a construction that fails leaves nothing
        // half-built for a subclass's __del__ to read.
        Tables tables;
        tables.data = allocate_table<void*>(count);
        tables.sizes = allocate_table<std::int32_t>(count);
        tables.room = allocate_table<std::int32_t>(count);
        if (dtype == INT64 && lookup) tables.int_sets = allocate_table<IntSet*>(count);

        Ref self = Ref::steal(check(type->tp_alloc(type, 0)));
        GraphWrapperObject* g = as_graph(self.get());
        g->_max_size = static_cast<std::int32_t>(capacity);
        g->_dtype = static_cast<DataType>(dtype);
        g->_busy = 0;
        g->_data = tables.data;
        g->_sizes = tables.sizes;
        g->_room = tables.room;
        g->_int_sets = tables.int_sets;
        g->_slabs = nullptr;
        tables.handed_over();
        g->_count = count;
        return self.release();
    });
}

void graph_dealloc(PyObject* self) {
    PyObject* pending = take_raised_exception();
    release_storage(as_graph(self));
    restore_raised_exception(pending);
    Py_TYPE(self)->tp_free(self);
}

void check_list_index(GraphWrapperObject* g, std::int64_t index, const char* message) {
    if (index < 0 || static_cast<std::uint64_t>(index) >= g->_count) raise(PyExc_IndexError, message);
}

// ---------------------------------------------------------------------------------------------
// Python-visible methods: argument matching and conversion, then the native operation.

const Param kAppendParams[] = {{"index", Kind::int64}, {"value", Kind::object}};
const Param kPopParams[] = {{"list_index", Kind::int32}, {"element_index", Kind::int32}};
const Param kContainsParams[] = {{"index", Kind::int64}, {"value", Kind::int64}};
const Param kToNumpyParams[] = {{"index", Kind::int64}};

constexpr Signature kAppend = signature("append", kAppendParams,
    "GraphWrapper.append(self, ITYPE_t index, value)\n\nAppend an element to the array.");
constexpr Signature kPopMax = signature("pop_max",
    "GraphWrapper.pop_max(self) -> tuple\n\nRemove and return the maximum value, its list index, and sublist "
    "index\nfrom all sub-arrays. Removes both occurrences of the maximum value.");
constexpr Signature kPop = signature("pop", kPopParams,
    "GraphWrapper.pop(self, int list_index, int element_index)\n\nRemove and return the element at the specified "
    "index from a sublist.\n\nParameters:\n    list_index (int): Index of the list from which to remove the "
    "element.\n    element_index (int): Index of the element to remove within the sublist.\n\nReturns:\n    int: "
    "The removed element.");
constexpr Signature kContains = signature("contains", kContainsParams,
    "GraphWrapper.contains(self, int64_t index, int64_t value)\n\nCheck if a value exists in the array.\n"
    "Performable only for `int` arrays for O(1) set performance.");
constexpr Signature kToNumpy = signature("to_numpy", kToNumpyParams,
    "GraphWrapper.to_numpy(self, ITYPE_t index)\n\nConvert the specified array to a NumPy array by copying the "
    "data from stored arrays.");
constexpr Signature kToNumpyAll = signature("to_numpy_all",
    "GraphWrapper.to_numpy_all(self)\n\nConvert all arrays to a list of NumPy arrays.");

PyObject* method_append(PyObject* self, const Arguments& arguments) {
    refuse_if_busy(as_graph(self));
    append_native(as_graph(self), arguments.int64(0), arguments.object(1));
    return Py_NewRef(Py_None);
}

PyObject* method_pop(PyObject* self, const Arguments& arguments) {
    refuse_if_busy(as_graph(self));
    return pop_native(as_graph(self), arguments.int32(0), arguments.int32(1)).release();
}

PyObject* method_contains(PyObject* self, const Arguments& arguments) {
    return Py_NewRef(contains_native(as_graph(self), arguments.int64(0), arguments.int64(1)) ? Py_True : Py_False);
}

PyObject* method_pop_max(PyObject* self, const Arguments&) {
    refuse_if_busy(as_graph(self));
    return pop_max_native(as_graph(self)).release();
}

PyObject* method_to_numpy(PyObject* self, const Arguments& arguments) {
    return to_numpy_native(as_graph(self), arguments.int64(0)).release();
}

PyObject* method_to_numpy_all(PyObject* self, const Arguments&) {
    GraphWrapperObject* g = as_graph(self);
    ContainerAccess container(self);
    Ref result = Ref::steal(check(PyList_New(0)));
    for (std::uint64_t i = 0; i < g->_count; ++i) {
        Ref array = container.to_numpy(static_cast<std::int64_t>(i));
        check_status(PyList_Append(result.get(), array.get()));
    }
    return result.release();
}

PyObject* method_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

PyObject* method_setstate(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

// Argument tuples rather than METH_FASTCALL for the reason given at module.cpp's FunctionType: the
// refusal of a non-string keyword is worded by the method. The module's own calls of these
// methods on a subclass that keeps them run natively (container_access.cpp), without a call.
PyMethodDef graph_methods[] = {
    keywords_method<kAppend, method_append>(),
    keywords_method<kPopMax, method_pop_max>(),
    keywords_method<kPop, method_pop>(),
    keywords_method<kContains, method_contains>(),
    keywords_method<kToNumpy, method_to_numpy>(),
    keywords_method<kToNumpyAll, method_to_numpy_all>(),
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {"__setstate__", method_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool is_native_method(PyObject* attr, PyObject* self, Operation op) {
    static const PyCFunction natives[] = {
        keywords_function<kAppend, method_append>(), keywords_function<kPopMax, method_pop_max>(),
        keywords_function<kPop, method_pop>(), keywords_function<kContains, method_contains>(),
        keywords_function<kToNumpy, method_to_numpy>()};
    return PyCFunction_Check(attr) && PyCFunction_GET_FUNCTION(attr) == natives[static_cast<int>(op)] &&
           PyCFunction_GET_SELF(attr) == self;
}

// ---------------------------------------------------------------------------------------------
// Native operations.

namespace {

std::int32_t room_for_one(GraphWrapperObject* g, std::int64_t index) {
    check_list_index(g, index, "Invalid array index");
    std::int32_t size = g->_sizes[index];
    if (size >= g->_max_size) raise(PyExc_OverflowError, "Array has reached its maximum size");
    return size;
}

// Stores v; the count is raised last so that a failure leaves the list as it was.
void store_int(GraphWrapperObject* g, std::int64_t index, std::int32_t size, std::int64_t v) {
    if (!reserve_list(g, index, size + 1)) throw std::bad_alloc();
    int_list(g, index)[size] = v;
    if (g->_int_sets) remember_value(g, index, v);
    g->_sizes[index] = size + 1;
}

void store_float(GraphWrapperObject* g, std::int64_t index, std::int32_t size, float v) {
    if (!reserve_list(g, index, size + 1)) throw std::bad_alloc();
    float_list(g, index)[size] = v;
    g->_sizes[index] = size + 1;
}

}  // namespace

void refuse_if_busy(GraphWrapperObject* g) {
    if (g->_busy > 0) raise(PyExc_BufferError, "GraphWrapper is in use by a running call");
}

void append_native(GraphWrapperObject* g, std::int64_t index, PyObject* value) {
    room_for_one(g, index);
    // The value's own conversion may run Python code: the room is read again after it.
    if (g->_dtype == INT64) {
        std::int64_t v = to_int64(value);
        store_int(g, index, room_for_one(g, index), v);
    } else {
        double d = PyFloat_AsDouble(value);
        if (d == -1.0 && PyErr_Occurred()) throw_error_set();
        store_float(g, index, room_for_one(g, index), round_to_float(d));
    }
}

void push_int(GraphWrapperObject* g, std::int64_t index, std::int64_t v) {
    std::int32_t size = room_for_one(g, index);
    if (g->_dtype == INT64) store_int(g, index, size, v);
    else store_float(g, index, size, static_cast<float>(v));
}

void push_float(GraphWrapperObject* g, std::int64_t index, float v) {
    std::int32_t size = room_for_one(g, index);
    if (g->_dtype == INT64) raise(PyExc_TypeError, "an integer is required");
    store_float(g, index, size, v);
}

Ref pop_native(GraphWrapperObject* g, std::int32_t list_index, std::int32_t element_index) {
    check_list_index(g, list_index, "List index out of range");
    std::int32_t size = g->_sizes[list_index];
    if (size == 0) raise(PyExc_IndexError, "Cannot pop from an empty sublist");
    if (element_index < 0 || element_index >= size) raise(PyExc_IndexError, "Element index out of range");
    Ref result = Ref::steal(check(g->_dtype == INT64
                                      ? PyLong_FromLongLong(int_list(g, list_index)[element_index])
                                      : PyFloat_FromDouble(float_list(g, list_index)[element_index])));
    erase_at(g, list_index, element_index);
    return result;
}

bool contains_native(GraphWrapperObject* g, std::int64_t index, std::int64_t value) {
    check_list_index(g, index, "Invalid array index");
    if (g->_dtype != INT64) raise(PyExc_TypeError, "Membership check only supported for int64 arrays");
    if (!g->_int_sets)
        raise(PyExc_TypeError, "Membership check needs lookup sets: create the container with lookup_opt=True");
    const IntSet* set = g->_int_sets[index];
    return set && set->count(value) > 0;
}

Ref pop_max_native(GraphWrapperObject* g) {
    struct Entry {
        std::uint64_t list;
        std::int32_t position;
    };
    std::vector<Entry> maximal;
    RunningMax running;
    if (g->_dtype == FLOAT32) {
        for (std::uint64_t i = 0; i < g->_count; ++i) {
            const float* values = float_list(g, i);
            for (std::int32_t j = 0; j < g->_sizes[i]; ++j) {
                const MaxOffer offer = running.offer(values[j]);
                if (offer == MaxOffer::ignored) continue;
                if (offer == MaxOffer::raised) maximal.clear();
                maximal.push_back({i, j});
            }
        }
    }
    if (maximal.empty()) raise(PyExc_ValueError, "All sub-arrays are empty, cannot pop max");
    // An edge is stored twice; a lone maximal entry means the weights are not stored symmetrically.
    if (maximal.size() == 1) raise(PyExc_ValueError, "Only one entry holds the maximum value, cannot pop max");
    Ref result = Ref::steal(check(Py_BuildValue("(KK)", static_cast<unsigned long long>(maximal[0].list),
                                                static_cast<unsigned long long>(maximal[1].list))));
    for (auto it = maximal.rbegin(); it != maximal.rend(); ++it) erase_at(g, it->list, it->position);
    return result;
}

Ref to_numpy_native(GraphWrapperObject* g, std::int64_t index) {
    check_list_index(g, index, "Invalid array index");
    std::int32_t size = g->_sizes[index];
    // np.empty(size, dtype=np.int64 / np.float32), through the module's own `np`.
    const InternedNames& names = process_state().names;
    Ref np = module_global(names.np);
    Ref empty = Ref::steal(check(PyObject_GetAttr(np.get(), names.empty)));
    Ref dtype = Ref::steal(check(PyObject_GetAttr(np.get(), g->_dtype == INT64 ? names.int64 : names.float32)));
    Ref length = Ref::steal(check(PyLong_FromLong(size)));
    PyObject* call_args[] = {length.get(), dtype.get()};
    Ref array = Ref::steal(check(PyObject_Vectorcall(empty.get(), call_args, 1, names.dtype_keyword)));
    if (size == 0) return array;
    std::size_t bytes = static_cast<std::size_t>(size) * element_size(g->_dtype);
    if (PyArray_Check(array.get())) {
        auto* a = reinterpret_cast<PyArrayObject*>(array.get());
        if (PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISWRITEABLE(a) &&
            PyArray_NBYTES(a) >= static_cast<npy_intp>(bytes)) {
            std::memcpy(PyArray_DATA(a), g->_data[index], bytes);
            return array;
        }
    }
    // Whatever `np.empty` gave back, it must take the bytes through the buffer protocol.
    BufferHold hold;
    if (!hold.acquire(array.get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) throw_error_set();
    if (hold.view().len < static_cast<Py_ssize_t>(bytes))
        raise(PyExc_ValueError, "np.empty returned an array too small for the list");
    std::memcpy(hold.view().buf, g->_data[index], bytes);
    return array;
}

PyTypeObject GraphWrapperType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "halvek.algorithms.src.brov.binaries.brov_core.GraphWrapper",
    sizeof(GraphWrapperObject),
};

int ready_graph_wrapper_type() {
    GraphWrapperType.tp_dealloc = graph_dealloc;
    GraphWrapperType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    GraphWrapperType.tp_methods = graph_methods;
    GraphWrapperType.tp_new = graph_new;
    return PyType_Ready(&GraphWrapperType);
}

}  // namespace brov
