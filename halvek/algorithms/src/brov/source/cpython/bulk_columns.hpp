// Numeric columns handed to _bulk: buffers whose element type (32- or 64-bit integers or floats)
// is chosen at run time, read element by element (values that are checked are copied first).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "cpython/binding.hpp"
#include "cpython/py_errors.hpp"
#include "cpython/py_ref.hpp"

namespace brov {

// A one-dimensional, C-contiguous numeric buffer whose element type is chosen at run time.
struct Column {
    BufferHold hold;
    const char* data = nullptr;
    Py_ssize_t length = 0;
    char kind = 0;      // 'i' for signed integers, 'f' for floats
    Py_ssize_t size = 0;  // bytes per element

    // Byte copies: the buffer need not be aligned for its element type.
    std::int64_t integer(Py_ssize_t k) const {
        if (size == 4) return load<std::int32_t>(k);
        return load<std::int64_t>(k);
    }
    double real(Py_ssize_t k) const {
        if (size == 4) return load<float>(k);
        return load<double>(k);
    }
    template <typename T>
    T load(Py_ssize_t k) const {
        T v;
        std::memcpy(&v, data + k * size, sizeof(T));
        return v;
    }

    // Reads the values once into memory of our own (aligned, as int64 or float64), and reads
    // only that copy from then on. The callers poll for signals, and a handler may write to the
    // caller's array: what was checked must be what is used.
    void copy_integers() { take_copy(owned); }
    void copy_reals() { take_copy(owned_reals); }
    std::vector<std::int64_t> owned;
    std::vector<double> owned_reals;

private:
    template <typename T>
    void take_copy(std::vector<T>& own) {
        InterruptPoll poll;
        own.resize(static_cast<std::size_t>(length));
        for (Py_ssize_t k = 0; k < length; ++k, poll()) {
            if constexpr (std::is_integral_v<T>) own[static_cast<std::size_t>(k)] = integer(k);
            else own[static_cast<std::size_t>(k)] = real(k);
        }
        data = reinterpret_cast<const char*>(own.data());
        size = sizeof(T);
    }
};

// The buffer's format as given ("B" when it gives none), and its type code after a native or
// little-endian byte-order prefix.
inline const char* format_of(const Py_buffer& view) { return view.format ? view.format : "B"; }
inline const char* type_code(const Py_buffer& view) {
    const char* f = format_of(view);
    return *f == '@' || *f == '=' || *f == '<' ? f + 1 : f;
}

// Reads the buffer format into kind and size; returns false for anything we do not load.
inline bool classify(const Py_buffer& view, char* kind) {
    const char* f = type_code(view);
    if (f[0] == '\0' || f[1] != '\0') return false;
    switch (f[0]) {
        case 'i':
        case 'l':
        case 'q':
            *kind = 'i';
            return view.itemsize == 4 || view.itemsize == 8;
        case 'f':
        case 'd':
            *kind = 'f';
            return view.itemsize == 4 || view.itemsize == 8;
        default:
            return false;
    }
}

// Takes the C-contiguous buffer of `obj` into `hold`, with its format; `shape` and `expected` (the
// element types) describe the array wanted in messages.
inline const Py_buffer& open_column(PyObject* obj, const char* name, const char* shape, const char* expected,
                                    BufferHold& hold) {
    if (!PyObject_CheckBuffer(obj))
        raise_format(PyExc_TypeError, "%s must be a %s %s array, got %.200s", name, shape, expected,
                     Py_TYPE(obj)->tp_name);
    if (!hold.acquire(obj, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) {
        PyErr_Clear();
        raise_format(PyExc_ValueError, "%s must be a contiguous %s %s array", name, shape, expected);
    }
    return hold.view();
}

// Takes the buffer of `obj`: `ndim` dimensions (one, or two for pairs), elements of kind `want`
// ('i' or 'f'); `shape` names the expected shape in messages.
inline void acquire_typed(PyObject* obj, const char* name, char want, int ndim, const char* shape, Column& out) {
    const char* expected = want == 'i' ? "int32 or int64" : "float32 or float64";
    const Py_buffer& view = open_column(obj, name, shape, expected, out.hold);
    if (ndim == 1 && view.ndim != 1)
        raise_format(PyExc_ValueError, "%s must be one-dimensional, got %d dimensions", name, view.ndim);
    if (ndim == 2 && (view.ndim != 2 || view.shape[1] != 2))
        raise_format(PyExc_ValueError, "%s must have shape (m, 2), got %d dimension(s)%s", name, view.ndim,
                     view.ndim == 2 ? " with a second one other than 2" : "");
    char kind = 0;
    if (!classify(view, &kind) || kind != want)
        raise_format(PyExc_TypeError, "%s must hold %s values, got buffer format '%s' (%zd bytes per item)", name,
                     expected, format_of(view), view.itemsize);
    out.data = static_cast<const char*>(view.buf);
    out.length = ndim == 2 ? view.shape[0] * 2 : view.shape[0];
    out.kind = kind;
    out.size = view.itemsize;
}

inline void acquire_column(PyObject* obj, const char* name, char want, Column& out) {
    acquire_typed(obj, name, want, 1, "one-dimensional", out);
}

// An (m, 2) array of integer pairs, read as one column of 2m values.
inline void acquire_pairs(PyObject* obj, const char* name, Column& out) {
    acquire_typed(obj, name, 'i', 2, "two-column", out);
}

// A one-dimensional, C-contiguous int8 array (labels), held in `hold`: its first byte.
inline const std::int8_t* acquire_int8_column(PyObject* obj, const char* name, BufferHold& hold) {
    const Py_buffer& view = open_column(obj, name, "one-dimensional", "int8", hold);
    if (view.ndim != 1 || view.itemsize != 1 || std::strcmp(type_code(view), "b") != 0)
        raise_format(PyExc_TypeError, "%s must be a one-dimensional int8 array, got format '%s' with %d dimension(s)",
                     name, format_of(view), view.ndim);
    return static_cast<const std::int8_t*>(view.buf);
}

}  // namespace brov
