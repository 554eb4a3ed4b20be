// How brov_core reaches a container passed to it. The route is decided once, when the access
// is made for an entry call: an exact GraphWrapper is read and edited on its storage; anything
// else, GraphWrapper subclasses included, through its methods by name. A subclass method that is
// still GraphWrapper's own runs natively, without a call: it is what the call would run.
#pragma once

#include <cstdint>

#include "brov_core/graph_wrapper.hpp"
#include "cpython/py_ref.hpp"

namespace brov {

class ContainerAccess {
public:
    explicit ContainerAccess(PyObject* obj);

    PyObject* object() const { return obj_; }
    bool on_storage() const { return on_storage_; }
    GraphWrapperObject* graph() const { return as_graph(obj_); }  // on_storage() only

    Ref to_numpy(PyObject* index) const;
    Ref to_numpy(std::int64_t index) const;
    Ref to_numpy_all() const;
    void pop(PyObject* list_index, PyObject* position) const;
    void append(PyObject* index, PyObject* value) const;
    // pop_max as the cutting driver calls it: an override must return a tuple or None.
    Ref pop_max() const;
    bool overrides_pop_max() const;

private:
    // The bound method `name`, or nothing when it is GraphWrapper's own `op`.
    Ref method(PyObject* name, Operation op) const;

    PyObject* obj_;
    bool on_storage_;
};

}  // namespace brov
