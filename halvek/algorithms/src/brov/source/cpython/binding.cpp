#include "cpython/binding.hpp"
#include "cpython/compat.hpp"
#include "cpython/module_state.hpp"

#include <climits>
#include <cstring>

namespace brov {

namespace {

[[noreturn]] void raise_count(const Signature& sig, Py_ssize_t given) {
    const Py_ssize_t required = sig.n_required();
    const char* bound;
    Py_ssize_t expected;
    if (required == sig.n_params) {
        bound = "exactly";
        expected = sig.n_params;
    } else if (given < required) {
        bound = "at least";
        expected = required;
    } else {
        bound = "at most";
        expected = sig.n_params;
    }
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name, bound,
                 expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t parameter_index(const Signature& sig, PyObject* key) {
    for (Py_ssize_t i = 0; i < sig.n_params; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) return i;
    }
    return -1;
}

// Places the positional arguments; without keywords a missing parameter is a count error now.
void match_positional(const Signature& sig, PyObject* const* items, Py_ssize_t given, bool has_keywords,
                      PyObject** values) {
    if (given > sig.n_params || (!has_keywords && given < sig.n_required())) raise_count(sig, given);
    for (Py_ssize_t i = 0; i < sig.n_params; ++i) values[i] = i < given ? items[i] : nullptr;
}

void match_keyword(const Signature& sig, Py_ssize_t given, PyObject* key, PyObject* value, PyObject** values) {
    if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
    Py_ssize_t index = parameter_index(sig, key);
    if (index >= given) {
        values[index] = value;
    } else if (index >= 0) {
        raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
    } else {
        raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
    }
}

void require_present(const Signature& sig, PyObject* const* values) {
    for (Py_ssize_t i = 0; i < sig.n_params; ++i) {
        if (!values[i] && !sig.params[i].optional) raise_count(sig, i);
    }
}

// Fills `values` from the positional tuple and the keyword dict, in the order the caller passed
// the keywords; null marks a parameter without value.
void match_values(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** values) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    const bool has_keywords = kwargs && PyDict_GET_SIZE(kwargs) > 0;
    match_positional(sig, PySequence_Fast_ITEMS(args), given, has_keywords, values);
    if (!has_keywords) return;
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) match_keyword(sig, given, key, value, values);
    require_present(sig, values);
}

// The same for a vectorcall: the keyword values follow the positional ones in `args`.
void match_values(const Signature& sig, PyObject* const* args, Py_ssize_t given, PyObject* kwnames,
                  PyObject** values) {
    const Py_ssize_t n_keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    match_positional(sig, args, given, n_keywords > 0, values);
    if (n_keywords == 0) return;
    for (Py_ssize_t k = 0; k < n_keywords; ++k)
        match_keyword(sig, given, PyTuple_GET_ITEM(kwnames, k), args[given + k], values);
    require_present(sig, values);
}

bool is_tested_kind(Kind kind) {
    return kind == Kind::ndarray || kind == Kind::labels || kind == Kind::exact_set || kind == Kind::callable;
}

std::int64_t convert(const Param& param, PyObject* value) {
    switch (param.kind) {
        case Kind::int32: return to_int32(value);
        case Kind::int64: return to_int64(value);
        case Kind::count: return to_count(value, param.name);
        case Kind::datatype: return to_datatype(value);
        case Kind::flag: return to_flag(value) ? 1 : 0;
        default: return 0;
    }
}

void test_kind(const Param& param, PyObject* value) {
    if (param.kind == Kind::callable) return require_callable(value, param.name);
    if (param.kind == Kind::exact_set) return require_exact_set(value, param.name);
    require_ndarray(value, param.name);
    if (param.kind == Kind::labels) require_labels_array(value, param.name);
}

}  // namespace

// Converts the converted kinds, then tests the tested kinds, each group in parameter order.
// (A friend of Arguments, so outside the anonymous namespace.)
void take_values(const Signature& sig, PyObject* const* values, Arguments& out) {
    for (Py_ssize_t i = 0; i < sig.n_params; ++i) {
        const Param& param = sig.params[i];
        out.given_[i] = values[i] != nullptr;
        out.objects_[i] = values[i] ? values[i] : Py_None;
        if (!values[i]) out.numbers_[i].integer = param.fallback;
        else if (param.kind == Kind::size) out.numbers_[i].size = to_size(values[i]);
        else if (!is_tested_kind(param.kind) && param.kind != Kind::object) out.numbers_[i].integer = convert(param, values[i]);
    }
    for (Py_ssize_t i = 0; i < sig.n_params; ++i) {
        if (values[i] && is_tested_kind(sig.params[i].kind)) test_kind(sig.params[i], values[i]);
    }
}

void match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, Arguments& out) {
    PyObject* values[Arguments::kMaxParams];
    match_values(sig, args, kwargs, values);
    take_values(sig, values, out);
}

void match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Arguments& out) {
    PyObject* values[Arguments::kMaxParams];
    match_values(sig, args, nargs, kwnames, values);
    take_values(sig, values, out);
}

Ref default_values(const Signature& sig) {
    const Py_ssize_t first = sig.n_required();
    if (first == sig.n_params) return Ref::borrow(Py_None);
    Ref defaults = Ref::steal(check(PyTuple_New(sig.n_params - first)));
    for (Py_ssize_t i = first; i < sig.n_params; ++i) {
        const Param& param = sig.params[i];
        PyObject* value;
        if (param.kind == Kind::flag) value = Py_NewRef(param.fallback ? Py_True : Py_False);
        else if (param.kind == Kind::object || is_tested_kind(param.kind)) value = Py_NewRef(Py_None);
        else value = check(PyLong_FromLongLong(param.fallback));
        PyTuple_SET_ITEM(defaults.get(), i - first, value);
    }
    return defaults;
}

Ref integer_object(PyObject* obj) {
    if (PyLong_Check(obj)) return Ref::borrow(obj);
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (!number || !number->nb_int) raise(PyExc_TypeError, "an integer is required");
    Ref result = Ref::steal(check(number->nb_int(obj)));
    if (PyLong_CheckExact(result.get())) return result;
    if (PyLong_Check(result.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(result.get())->tp_name) < 0)
            throw_error_set();
        return result;
    }
    raise_format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
}

namespace {

long as_long(PyObject* obj) {
    Ref number = integer_object(obj);
    long v = PyLong_AsLong(number.get());
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    return v;
}

}  // namespace

std::int32_t to_int32(PyObject* obj) {
    return narrow_to_int32(as_long(obj));
}

std::int64_t to_int64(PyObject* obj) { return as_long(obj); }

std::int64_t to_count(PyObject* obj, const char* param) {
    Ref number = Ref::steal(check(PyNumber_Index(obj)));
    long long v = PyLong_AsLongLong(number.get());
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    if (v < 0) raise_format(PyExc_ValueError, "%.200s must be >= 0", param);
    return v;
}

std::int32_t narrow_to_int32(std::int64_t v) {
    if (v < INT32_MIN || v > INT32_MAX) raise(PyExc_OverflowError, "value too large to convert to int");
    return static_cast<std::int32_t>(v);
}

std::uint64_t to_size(PyObject* obj) {
    Ref number = integer_object(obj);
    int sign = int_sign(number.get());
    if (sign < 0) raise(PyExc_OverflowError, "can't convert negative value to size_t");
    unsigned long v = PyLong_AsUnsignedLong(number.get());
    if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw_error_set();
    return v;
}

std::uint32_t to_datatype(PyObject* obj) {
    long v = as_long(obj);
    if (v < 0 || v > static_cast<long>(UINT32_MAX))
        raise(PyExc_OverflowError, "value too large to convert to enum DataType");
    return static_cast<std::uint32_t>(v);
}

bool to_flag(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False || obj == Py_None) return false;
    return check_status(PyObject_IsTrue(obj)) != 0;
}

namespace {

[[noreturn]] void raise_argument_type(const char* param, const char* expected, PyObject* obj) {
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, Py_TYPE(obj)->tp_name);
}
}  // namespace

PyTypeObject* ndarray_type() { return process_state().ndarray_type; }

bool is_ndarray(PyObject* obj) { return PyObject_TypeCheck(obj, ndarray_type()); }

void require_ndarray(PyObject* obj, const char* param) {
    if (obj != Py_None && !is_ndarray(obj)) raise_argument_type(param, "numpy.ndarray", obj);
}

void require_callable(PyObject* obj, const char* param) {
    if (obj != Py_None && !PyCallable_Check(obj)) raise_format(PyExc_TypeError, "%.200s must be callable or None", param);
}

void require_labels_array(PyObject* obj, const char* param) {
    if (obj == Py_None) raise_argument_type(param, "numpy.ndarray", obj);
}

void require_exact_set(PyObject* obj, const char* param) {
    if (obj != Py_None && !PySet_CheckExact(obj)) raise_argument_type(param, "set", obj);
}

void require_list(PyObject* obj, bool none_passes) {
    if ((obj != Py_None || !none_passes) && !PyList_CheckExact(obj))
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(obj)->tp_name);
}

void require_tuple(PyObject* obj) {
    if (obj != Py_None && !PyTuple_CheckExact(obj))
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(obj)->tp_name);
}

void require_ndarray_value(PyObject* obj) {
    if (obj != Py_None && !is_ndarray(obj))
        raise_format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name, "numpy.ndarray");
}

namespace {

// How a buffer format character reads in the dtype-mismatch message.
const char* describe_format(const char* format) {
    if (format[0] == 'T') return "a struct";
    if (format[0] == 'Z') {
        switch (format[1]) {
            case 'f': return "'complex float'";
            case 'd': return "'complex double'";
            case 'g': return "'complex long double'";
            default: return "'complex'";
        }
    }
    switch (format[0]) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'n': return "'Py_ssize_t'";
        case 'N': return "'size_t'";
        case 'e': return "'half'";
        case 'f': return "'float'";
        case 'd': return "'double'";
        case 'g': return "'long double'";
        case 'O': return "Python object";
        case 's': case 'p': return "'char'";
        default: return "unparseable format string";
    }
}

// Checks dimensions, element kind and item size, in that order. `signed_codes` lists the format
// characters that denote a signed integer of `element_size` bytes.
void validate_buffer(Py_buffer& view, const char* name, const char* signed_codes, Py_ssize_t element_size) {
    if (view.ndim != 1)
        raise_format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1, view.ndim);
    const char* format = view.format ? view.format : "B";
    while (*format == '@' || *format == '=' || *format == '<' || *format == '>' || *format == '!') {
        if (*format == '>' || *format == '!')
            raise(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
        ++format;
    }
    bool plain = format[0] != '\0' && format[1] == '\0';
    if (!plain || !std::strchr(signed_codes, format[0])) {
        char expected[32];
        PyOS_snprintf(expected, sizeof expected, "'%s'", name);
        raise_format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", expected, "", "",
                     describe_format(format));
    }
    if (view.itemsize != element_size)
        raise_format(PyExc_ValueError, "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     view.itemsize, view.itemsize == 1 ? "" : "s", name, element_size, element_size == 1 ? "" : "s");
}

template <typename T>
void acquire_view(PyObject* obj, int flags, const char* name, const char* codes, StridedView<T>& out) {
    if (!out.hold.acquire(obj, flags)) throw_error_set();
    Py_buffer& view = out.hold.view();
    validate_buffer(view, name, codes, sizeof(T));
    out.base = static_cast<char*>(view.buf);
    out.length = view.shape ? view.shape[0] : view.len / view.itemsize;
    out.stride = view.strides ? view.strides[0] : view.itemsize;
}

}  // namespace

void acquire_labels(PyObject* obj, bool writable, LabelView& out) {
    int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
    acquire_view(obj, flags, "int8_t", "b", out);
}

void acquire_indices(PyObject* obj, IndexView& out) {
    acquire_view(obj, PyBUF_FORMAT | PyBUF_STRIDES, "ITYPE_t", sizeof(long) == 8 ? "lq" : "q", out);
}

void raise_node_out_of_range(std::int64_t node, Py_ssize_t length) {
    raise_format(PyExc_IndexError, "node index %lld is out of range for a label array of length %zd",
                 static_cast<long long>(node), length);
}

}  // namespace brov
