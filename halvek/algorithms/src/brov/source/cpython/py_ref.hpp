// Small RAII owners for Python references and buffers, so that every early exit (including a
// C++ exception) releases what it holds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace brov {

// Whether the interpreter is shutting down. A daemon thread still in a native call then is ended
// as it takes the GIL back, and unwinds through our frames without the GIL, after the
// interpreter's memory may be gone: the owners below leave their objects alone then (the process
// is ending; at worst they leak).
inline bool interpreter_ending() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Owns one strong reference (or nothing).
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            if (old && !interpreter_ending()) Py_DECREF(old);
        }
        return *this;
    }
    ~Ref() {
        if (obj_ && !interpreter_ending()) Py_DECREF(obj_);
    }

    PyObject* get() const { return obj_; }
    PyObject* release() {
        PyObject* o = obj_;
        obj_ = nullptr;
        return o;
    }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* o) : obj_(o) {}
    PyObject* obj_ = nullptr;
};

// Owns a Py_buffer obtained with PyObject_GetBuffer; releases it once.
class BufferHold {
public:
    BufferHold() = default;
    BufferHold(const BufferHold&) = delete;
    BufferHold& operator=(const BufferHold&) = delete;
    BufferHold(BufferHold&& other) noexcept : view_(other.view_), held_(other.held_) { other.held_ = false; }
    BufferHold& operator=(BufferHold&& other) noexcept {
        if (this != &other) {
            reset();
            view_ = other.view_;
            held_ = other.held_;
            other.held_ = false;
        }
        return *this;
    }
    ~BufferHold() { reset(); }

    // Returns false with the Python error set when the object refuses the request.
    bool acquire(PyObject* obj, int flags) {
        reset();
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
        held_ = true;
        return true;
    }
    void reset() {
        if (held_) {
            if (!interpreter_ending()) PyBuffer_Release(&view_);
            held_ = false;
        }
    }
    bool held() const { return held_; }
    Py_buffer& view() { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace brov
