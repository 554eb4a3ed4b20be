// A set of node indices, in one of the two forms a route needs. In place it is a flag per node,
// kept in step with a Python set when there is one (make_labels' `visited`, which the caller
// sees); by name it is a Python set alone, since its members may be any objects that compare
// equal to node indices.
#pragma once

#include <cstdint>
#include <vector>

#include "cpython/binding.hpp"
#include "cpython/module_state.hpp"

namespace brov {

class NodeSet {
public:
    // By name, over `set` (borrowed), or over a new private set when `set` is null.
    static NodeSet by_name(PyObject* set) {
        NodeSet s;
        s.set_ = set ? Ref::borrow(set) : Ref::steal(check(PySet_New(nullptr)));
        return s;
    }
    // In place, with no Python set: nobody else sees it.
    static NodeSet in_place(Py_ssize_t n) {
        NodeSet s;
        s.in_place_ = true;
        s.flags_.assign(static_cast<std::size_t>(n), 0);
        return s;
    }

    // Moves a by-name set over n nodes in place, seeding the flags from the Python set, which is
    // kept in step from then on. False (and nothing changed) when the set holds anything but
    // plain ints, whose equality with node indices only Python can tell.
    bool go_in_place(Py_ssize_t n) {
        std::vector<std::uint8_t> flags(static_cast<std::size_t>(n), 0);
        Ref items = Ref::steal(check(PyObject_GetIter(set_.get())));
        while (PyObject* raw = PyIter_Next(items.get())) {
            Ref key = Ref::steal(raw);
            if (!PyLong_CheckExact(key.get())) return false;
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(key.get(), &overflow);
            if (!overflow && v >= 0 && v < n) flags[v] = 1;
        }
        if (PyErr_Occurred()) throw_error_set();
        flags_ = std::move(flags);
        in_place_ = true;
        return true;
    }

    bool in_place() const { return in_place_; }
    PyObject* python_set() const { return set_ ? set_.get() : Py_None; }

    void add(std::int32_t node) {
        if (in_place_ && in_range(node)) flags_[node] = 1;
        if (set_) check_status(PySet_Add(set_.get(), int_object(node).get()));
    }
    bool contains(std::int32_t node) const {
        if (in_place_) return in_range(node) && flags_[node];
        return check_status(PySet_Contains(set_.get(), int_object(node).get())) != 0;
    }
    // Every node of `path` (a list of node indices when in place).
    void add_path(PyObject* path) {
        if (!in_place_) {
            call_method_one(set_.get(), process_state().names.update, path);
            return;
        }
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(path); ++k) {
            long node = PyLong_AsLong(PyList_GET_ITEM(path, k));
            if (node >= 0 && static_cast<std::size_t>(node) < flags_.size()) flags_[node] = 1;
        }
    }

private:
    NodeSet() = default;
    bool in_range(std::int32_t node) const { return node >= 0 && static_cast<std::size_t>(node) < flags_.size(); }

    bool in_place_ = false;
    std::vector<std::uint8_t> flags_;
    Ref set_;
};

}  // namespace brov
