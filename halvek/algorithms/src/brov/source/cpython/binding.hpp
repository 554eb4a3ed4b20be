// The binding conventions shared by every callable of brov_core, _bulk and _tree: one declarative
// signature per callable (parameter names, kinds, defaults, docstring), argument matching and
// conversion by kind (from an argument tuple or a vectorcall), type tests, and typed buffer
// acquisition. The argument and conversion messages of the three modules are written in
// binding.cpp alone.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cpython/py_errors.hpp"
#include "cpython/py_ref.hpp"

namespace brov {

// How an argument is taken: converted to a C value, type-tested, or passed as given.
enum class Kind : std::uint8_t {
    object,     // any object, as given
    int32,      // 32-bit signed integer
    int64,      // 64-bit signed integer
    size,       // unsigned 64-bit count
    datatype,   // DataType enum value
    flag,       // truth value
    ndarray,    // numpy.ndarray (or a subclass) or None; not converted
    labels,     // as ndarray, but None is refused
    exact_set,  // exactly a set, or None
    count,      // integer in [0, 2**63) taken as operator.index takes it (no float, no __int__ alone)
    callable,   // a callable, or None; not converted
};

// One parameter. An optional parameter takes `fallback` when not given: the integer value for the
// integer kinds and flag (0 / 1 for False / True), None for the others.
struct Param {
    const char* name;
    Kind kind;
    bool optional = false;
    long long fallback = 0;
};

// One callable: the bare name used in messages, its parameters in order (the optional ones
// last), and its docstring.
struct Signature {
    const char* name;
    const Param* params;
    Py_ssize_t n_params;
    const char* doc;

    constexpr Py_ssize_t n_required() const {
        Py_ssize_t n = 0;
        while (n < n_params && !params[n].optional) ++n;
        return n;
    }
};

template <std::size_t N>
constexpr Signature signature(const char* name, const Param (&params)[N], const char* doc) {
    static_assert(N <= 10, "Arguments holds at most 10 parameters");
    return Signature{name, params, static_cast<Py_ssize_t>(N), doc};
}
constexpr Signature signature(const char* name, const char* doc) { return Signature{name, nullptr, 0, doc}; }

// The arguments of one call, matched to the parameters, converted and tested by kind.
class Arguments {
public:
    static constexpr Py_ssize_t kMaxParams = 10;

    // The value as given (borrowed), or None for an optional parameter left out.
    PyObject* object(Py_ssize_t i) const { return objects_[i]; }
    bool given(Py_ssize_t i) const { return given_[i]; }
    std::int32_t int32(Py_ssize_t i) const { return static_cast<std::int32_t>(numbers_[i].integer); }
    std::int64_t int64(Py_ssize_t i) const { return numbers_[i].integer; }
    std::uint64_t size(Py_ssize_t i) const { return numbers_[i].size; }
    std::uint32_t datatype(Py_ssize_t i) const { return static_cast<std::uint32_t>(numbers_[i].integer); }
    bool flag(Py_ssize_t i) const { return numbers_[i].integer != 0; }

private:
    friend void take_values(const Signature&, PyObject* const*, Arguments&);
    union Number {
        std::int64_t integer;
        std::uint64_t size;
    };
    PyObject* objects_[kMaxParams] = {};
    bool given_[kMaxParams] = {};
    Number numbers_[kMaxParams] = {};
};

// Matches positional and keyword arguments against `sig`, fills the defaults, then converts the
// converted kinds and tests the tested kinds, each group in parameter order. The first failure
// raises; nothing of the callable has run then.
void match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, Arguments& out);

// The same for a vectorcall (METH_FASTCALL | METH_KEYWORDS): positional arguments in
// args[0, nargs), then the values of the keywords named in `kwnames` (a tuple, or null).
void match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Arguments& out);

// The entry point of a METH_FASTCALL | METH_KEYWORDS function bound by `Sig`: the arguments are
// matched and converted, then `Body` runs; a C++ exception becomes the Python error here (not
// noexcept: a thread ended at shutdown unwinds through, see `guarded`).
template <const Signature& Sig, PyObject* (*Body)(const Arguments&)>
PyObject* fastcall_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Arguments arguments;
        match_arguments(Sig, args, nargs, kwnames, arguments);
        return Body(arguments);
    });
}

// The method table row of such a function: name and docstring come from `Sig`.
template <const Signature& Sig, PyObject* (*Body)(const Arguments&)>
PyMethodDef fastcall_method() {
    return {Sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&fastcall_entry<Sig, Body>)),
            METH_FASTCALL | METH_KEYWORDS, Sig.doc};
}

// The entry point of a METH_VARARGS | METH_KEYWORDS callable bound by `Sig` (an argument tuple and
// a keyword dict, so that a non-string keyword is refused in the callable's own words): the
// arguments are matched and converted, then `Body` runs with the bound object (the module or the
// instance); a C++ exception becomes the Python error here.
template <const Signature& Sig, PyObject* (*Body)(PyObject* self, const Arguments&)>
PyObject* keywords_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Arguments arguments;
        match_arguments(Sig, args, kwargs, arguments);
        return Body(self, arguments);
    });
}

// That entry point as a method table takes it.
template <const Signature& Sig, PyObject* (*Body)(PyObject* self, const Arguments&)>
PyCFunction keywords_function() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&keywords_entry<Sig, Body>));
}

// The method table row of such a callable: name and docstring come from `Sig`.
template <const Signature& Sig, PyObject* (*Body)(PyObject* self, const Arguments&)>
PyMethodDef keywords_method() {
    return {Sig.name, keywords_function<Sig, Body>(), METH_VARARGS | METH_KEYWORDS, Sig.doc};
}

// The `__defaults__` tuple of a callable: the fallbacks of its optional parameters (new reference).
Ref default_values(const Signature& sig);

// A new Python int.
inline Ref int_object(long long v) { return Ref::steal(check(PyLong_FromLongLong(v))); }

// obj.name(arg), with arg passed as one argument whatever its type (a tuple is not unpacked);
// `name` is an interned name (module_state.hpp). No argument tuple is made.
inline Ref call_method_one(PyObject* obj, PyObject* name, PyObject* arg) {
    return Ref::steal(check(PyObject_CallMethodOneArg(obj, name, arg)));
}

// Integer conversion shared by the integer kinds: returns a new reference to an int, calling the
// object's __int__ when it is not an int already.
Ref integer_object(PyObject* obj);

std::int32_t to_int32(PyObject* obj);
std::int64_t to_int64(PyObject* obj);
// A count parameter: ValueError "<param> must be >= 0" when negative.
std::int64_t to_count(PyObject* obj, const char* param);
// A 64-bit value that must fit the 32-bit integer kind (a node index read from storage).
std::int32_t narrow_to_int32(std::int64_t v);
std::uint64_t to_size(PyObject* obj);
std::uint32_t to_datatype(PyObject* obj);
bool to_flag(PyObject* obj);

// Type tests of the ndarray and set kinds (None passes both).
PyTypeObject* ndarray_type();
bool is_ndarray(PyObject* obj);
void require_ndarray(PyObject* obj, const char* param);
void require_exact_set(PyObject* obj, const char* param);
void require_callable(PyObject* obj, const char* param);
// After require_ndarray: a label array parameter that must be present.
void require_labels_array(PyObject* obj, const char* param);

// "Expected list, got ..." and "Cannot convert ... to numpy.ndarray" for typed local values
// (None passes unless refused).
void require_list(PyObject* obj, bool none_passes = true);
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

// Releases the GIL for its lifetime, so other Python threads run while this one works on arrays of
// its own (never on a caller's buffer, nor on any Python object). `holding(f)` runs f with the GIL
// taken back, for the Python calls of a poll; `interrupted()` checks for signals that way, at most
// every kPollInterval: taking the GIL can wait out another thread's switch interval (5 ms).
class WithoutGil {
public:
    WithoutGil() : state_(PyEval_SaveThread()) {}
    // A daemon thread that takes the GIL back once the interpreter is shutting down is ended there
    // by a forced unwind (pthread_exit). It may start in here, so the destructor lets it out
    // (noexcept(false)); and a thread ended inside `holding` unwinds through here without the GIL,
    // so it must not take it again.
    ~WithoutGil() noexcept(false) {
        if (!ending_) PyEval_RestoreThread(state_);
    }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

    template <typename F>
    void holding(F&& f) {
        ending_ = true;  // until the GIL is back: at shutdown the thread ends in there
        PyEval_RestoreThread(state_);
        ending_ = false;
        struct Release {
            PyThreadState*& state;
            ~Release() { state = PyEval_SaveThread(); }
        } release{state_};
        f();
    }
    // Whether a poll is due (the last one was kPollInterval ago or more).
    bool due() {
        const auto now = std::chrono::steady_clock::now();
        if (now < next_poll_) return false;
        next_poll_ = now + kPollInterval;
        return true;
    }
    // True, with the Python error set, when a signal handler raised.
    bool interrupted() {
        bool raised = false;
        if (due()) holding([&raised] { raised = PyErr_CheckSignals() < 0; });
        return raised;
    }
    // The stop callback of the plain C++ passes, with a WithoutGil as its context.
    static bool stop_requested(void* self) { return static_cast<WithoutGil*>(self)->interrupted(); }

private:
    static constexpr std::chrono::milliseconds kPollInterval{20};
    PyThreadState* state_;
    bool ending_ = false;
    std::chrono::steady_clock::time_point next_poll_ = std::chrono::steady_clock::now() + kPollInterval;
};

// IndexError for a node index that lies outside the label array.
[[noreturn]] void raise_node_out_of_range(std::int64_t node, Py_ssize_t length);

}  // namespace brov
