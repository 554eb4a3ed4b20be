// The binding conventions shared by every callable: argument matching driven by one static
// signature table per callable, conversions per parameter kind, and typed buffer acquisition.
// Every argument error message of the module comes from binding.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "py_errors.hpp"
#include "py_ref.hpp"

namespace brov {

// One callable: the bare name used in messages, its parameter names in order, and how many of the
// leading parameters have no default.
struct Signature {
    const char* name;
    const char* const* params;
    Py_ssize_t n_params;
    Py_ssize_t n_required;
};

// Matches positional and keyword arguments against `sig`. values[i] receives a borrowed reference
// to the value of parameter i, or nullptr when an optional parameter was not given.
void match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** values);

// A new Python int.
inline Ref int_object(long long v) { return Ref::steal(check(PyLong_FromLongLong(v))); }

// obj.name(arg), with arg passed as one argument whatever its type (a tuple is not unpacked).
inline Ref call_method_one(PyObject* obj, const char* name, PyObject* arg) {
    Ref method = Ref::steal(check(PyObject_GetAttrString(obj, name)));
    return Ref::steal(check(PyObject_CallOneArg(method.get(), arg)));
}

// Integer conversion shared by the integer kinds: returns a new reference to an int, calling the
// object's __int__ when it is not an int already.
Ref integer_object(PyObject* obj);

std::int32_t to_int32(PyObject* obj);
std::int64_t to_int64(PyObject* obj);
std::uint64_t to_size(PyObject* obj);
std::uint32_t to_datatype(PyObject* obj);
bool to_flag(PyObject* obj);

// Type tests of the ndarray and set kinds (None passes both).
void set_ndarray_type(PyTypeObject* type);
PyTypeObject* ndarray_type();
bool is_ndarray(PyObject* obj);
void require_ndarray(PyObject* obj, const char* param);
void require_exact_set(PyObject* obj, const char* param);

// "Expected list, got ..." and "Cannot convert ... to numpy.ndarray" for typed local values.
void require_list(PyObject* obj);
void require_tuple(PyObject* obj);
void require_ndarray_value(PyObject* obj);

// A one-dimensional typed view of an array, read or written through its stride.
template <typename T>
struct StridedView {
    BufferHold hold;
    char* base = nullptr;
    Py_ssize_t stride = 0;
    Py_ssize_t length = 0;

    // Byte copies: a buffer need not be aligned for T.
    T get(Py_ssize_t i) const {
        T v;
        std::memcpy(&v, base + i * stride, sizeof(T));
        return v;
    }
    void set(Py_ssize_t i, T v) const { std::memcpy(base + i * stride, &v, sizeof(T)); }
    bool in_range(std::int64_t i) const { return i >= 0 && i < length; }
};

using LabelView = StridedView<std::int8_t>;
using IndexView = StridedView<std::int64_t>;

// Acquire `obj` (not None) as a one-dimensional buffer of int8 ("int8_t") or int64 ("ITYPE_t").
void acquire_labels(PyObject* obj, bool writable, LabelView& out);
void acquire_indices(PyObject* obj, IndexView& out);

// Lets Ctrl-C through during long native loops: checks for pending signals every 2^14 calls.
class InterruptPoll {
public:
    void operator()() {
        if ((++count_ & 0x3FFF) == 0 && PyErr_CheckSignals() < 0) throw PythonError{};
    }

private:
    std::uint32_t count_ = 0;
};

// The stop callback of the plain C++ passes (cutting.hpp): true, with the Python error set, when
// a signal handler raised.
inline bool interrupt_requested(void*) { return PyErr_CheckSignals() < 0; }

// IndexError for a node index that lies outside the label array.
[[noreturn]] void raise_node_out_of_range(std::int64_t node, Py_ssize_t length);

}  // namespace brov
