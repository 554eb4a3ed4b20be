#include "brov_core/container_access.hpp"

#include "cpython/binding.hpp"
#include "cpython/module_state.hpp"

namespace brov {

namespace {

const InternedNames& names() { return process_state().names; }

// m(a, b) for a bound method m, without an argument tuple; the result is dropped.
void call_method_object(const Ref& m, PyObject* a, PyObject* b) {
    PyObject* args[] = {a, b};
    Ref done = Ref::steal(check(PyObject_Vectorcall(m.get(), args, 2, nullptr)));
}

}  // namespace

ContainerAccess::ContainerAccess(PyObject* obj) : obj_(obj), on_storage_(is_exact_graph_wrapper(obj)) {}

Ref ContainerAccess::method(PyObject* name, Operation op) const {
    Ref attr = Ref::steal(check(PyObject_GetAttr(obj_, name)));
    if (is_native_method(attr.get(), obj_, op)) return Ref();
    return attr;
}

Ref ContainerAccess::to_numpy(PyObject* index) const {
    if (on_storage_) return to_numpy_native(graph(), to_int64(index));
    Ref m = method(names().to_numpy, Operation::to_numpy);
    if (!m) return to_numpy_native(graph(), to_int64(index));
    return Ref::steal(check(PyObject_CallOneArg(m.get(), index)));
}

Ref ContainerAccess::to_numpy(std::int64_t index) const {
    if (on_storage_) return to_numpy_native(graph(), index);
    Ref index_obj = int_object(index);
    return to_numpy(index_obj.get());
}

Ref ContainerAccess::to_numpy_all() const {
    return Ref::steal(check(PyObject_CallMethodNoArgs(obj_, names().to_numpy_all)));
}

// On storage, and for GraphWrapper's own methods, the edit runs natively; the arguments are
// converted in parameter order, as the method's own matching would.
void ContainerAccess::pop(PyObject* list_index, PyObject* position) const {
    Ref m = on_storage_ ? Ref() : method(names().pop, Operation::pop);
    if (m) return call_method_object(m, list_index, position);
    const std::int32_t list = to_int32(list_index);
    const std::int32_t element = to_int32(position);
    if (!on_storage_) refuse_if_busy(graph());  // on storage the pin is this call's own
    pop_native(graph(), list, element);
}

void ContainerAccess::append(PyObject* index, PyObject* value) const {
    Ref m = on_storage_ ? Ref() : method(names().append, Operation::append);
    if (m) return call_method_object(m, index, value);
    const std::int64_t list = to_int64(index);
    if (!on_storage_) refuse_if_busy(graph());
    append_native(graph(), list, value);
}

Ref ContainerAccess::pop_max() const {
    Ref m = on_storage_ ? Ref() : method(names().pop_max, Operation::pop_max);
    if (!m) return pop_max_native(graph());
    Ref result = Ref::steal(check(PyObject_CallNoArgs(m.get())));
    require_tuple(result.get());
    return result;
}

bool ContainerAccess::overrides_pop_max() const {
    return !on_storage_ && static_cast<bool>(method(names().pop_max, Operation::pop_max));
}

}  // namespace brov
