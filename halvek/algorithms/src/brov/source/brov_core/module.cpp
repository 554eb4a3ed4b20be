// brov_core start-up: module creation, the start-up sequence, the table of module functions
// (parameters, kinds, defaults, docstrings and entry points in one place) and the function
// objects that carry them (with __defaults__, __qualname__ and __module__).
#include "cpython/numpy_api.hpp"
#include <numpy/ufuncobject.h>

#include "cpython/binding.hpp"
#include "cpython/compat.hpp"
#include "brov_core/graph_wrapper.hpp"
#include "brov_core/module_functions.hpp"
#include "cpython/module_state.hpp"

#include <cstddef>
#include <cstdio>


namespace brov {

namespace {

const char* const kModuleName = "halvek.algorithms.src.brov.binaries.brov_core";

// ---------------------------------------------------------------------------------------------
// Function objects of the module functions.

struct FunctionSpec;

struct FunctionObject {
    PyObject_HEAD
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
};

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->defaults);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs);

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<built-in function %U>", reinterpret_cast<FunctionObject*>(self)->name);
}

// Pickled by reference, like any module-level function.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The attributes of a function object. A field left null (deleted) reads as None.
template <PyObject* FunctionObject::*field>
PyObject* get_field(PyObject* self, void*) {
    PyObject* value = reinterpret_cast<FunctionObject*>(self)->*field;
    return Py_NewRef(value ? value : Py_None);
}

template <PyObject* FunctionObject::*field>
int set_field(PyObject* self, PyObject* value, void*) {
    PyObject*& slot = reinterpret_cast<FunctionObject*>(self)->*field;
    Py_XSETREF(slot, Py_XNewRef(value));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field<&FunctionObject::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_field<&FunctionObject::qualname>, nullptr, nullptr, nullptr},
    {"__module__", get_field<&FunctionObject::module>, set_field<&FunctionObject::module>, nullptr, nullptr},
    {"__doc__", get_field<&FunctionObject::doc>, set_field<&FunctionObject::doc>, nullptr, nullptr},
    {"__defaults__", get_field<&FunctionObject::defaults>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Called through tp_call with the argument tuple and keyword dict, deliberately without a
// vectorcall slot: before a vectorcall CPython checks the keyword names itself and refuses a
// non-string key with its own wording, while these functions must raise "<name>() keywords must
// be strings". The module's own nested calls never go through these objects (they run inline,
// or call a rebound callable by vectorcall), so no argument tuple is made on the module's side.
PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "brov_function",  // tp_name
    sizeof(FunctionObject),                              // tp_basicsize
};

const Param kFindParams[] = {
    {"connections_sparse", Kind::object}, {"labels", Kind::labels}, {"start", Kind::int32},
    {"bomb_node", Kind::int32, true, -1}, {"path", Kind::object, true},
};
const Param kExploreParams[] = {{"connections_sparse", Kind::object}, {"labels", Kind::labels}, {"start", Kind::int32}};
const Param kSubgraphParams[] = {
    {"connections_sparse", Kind::object}, {"weights_sparse", Kind::object}, {"labels", Kind::ndarray}};
const Param kMakeLabelsParams[] = {
    {"connections_sparse", Kind::object}, {"node", Kind::int32}, {"label", Kind::int32},
    {"visited", Kind::exact_set}, {"labels", Kind::labels},
};
const Param kClusterizeParams[] = {
    {"connections_sparse", Kind::object}, {"weights_sparse", Kind::object}, {"labels", Kind::ndarray}};

struct FunctionSpec {
    Callable which;
    Signature signature;
    Entry entry;
};

const FunctionSpec kFunctions[] = {
    {Callable::find_all_paths_with_labels, signature("find_all_paths_with_labels", kFindParams,
     "find_all_paths_with_labels(connections_sparse, ndarray labels, int start, int bomb_node=-1, path=None)\n"
     "\n"
     "Find all paths from the starting node to nodes with labels greater than -1 using DFS algorithm.\n"
     "Stop searching a path if a node with the same label as the starting node is encountered,\n"
     "if a node with a label > -1 is found, or if a \"bomb node\" is encountered.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "connections_sparse: np.ndarray\n"
     "    Object that for each index of the first dimension has a list representation of vertices connected to "
     "the index.\n"
     "labels: np.ndarray\n"
     "    Array in which for each index that refers to node there is label information.\n"
     "start: int\n"
     "    Index of starting node.\n"
     "bomb_node: int, optional\n"
     "    Index of the \"bomb node\". If visited, the search in this direction stops. Defaults to None.\n"
     "path:\n"
     "    Path at the current state of algorithm. Defaults to None.\n"
     "\n"
     "Returns\n"
     "----------\n"
     "List of all paths from the starting node to nodes with labels > -1"), find_all_paths_with_labels_entry},
    {Callable::explore_graph_recursive, signature("explore_graph_recursive", kExploreParams,
     "explore_graph_recursive(connections_sparse, ndarray labels, int start)\n"
     "\n"
     "Explore the graph recursively by finding all paths from a starting node.\n"
     "After finding paths, recursively call the function for the end nodes of each path,\n"
     "passing the current start as a bomb node to prevent backtracking.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "connections_sparse: np.ndarray\n"
     "    Graph adjacency list in sparse format.\n"
     "labels: np.ndarray\n"
     "    Array of labels for each node.\n"
     "start: int\n"
     "    Starting node.\n"
     "\n"
     "Returns\n"
     "----------\n"
     "List of all paths explored during the traversal."), explore_graph_recursive_entry},
    {Callable::find_subgraph_with_labels, signature("find_subgraph_with_labels", kSubgraphParams,
     "find_subgraph_with_labels(connections_sparse, weights_sparse, ndarray labels)\n"
     "\n"
     "Creates subgraph of original graph that consists of paths between nodes with different labels.\n"
     "If node is not labeled, it is not treated as an obstacle for path.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "weights_sparse\n"
     "connections_sparse\n"
     "labels: np.ndarray\n"
     "    Array in which each index refers to a node and its label information.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "sub_connections_sparse, sub_weights_sparse: np.ndarray\n"
     "    Objects similar to connections_sparse and weights_sparse that define a subgraph of the original graph."), find_subgraph_with_labels_entry},
    {Callable::make_labels, signature("make_labels", kMakeLabelsParams,
     "make_labels(connections_sparse, int node, int label, set visited, ndarray labels)\n"
     "\n"
     "Recursively assigns the same label to all nodes connected to the starting node.\n"
     "Modifies the labels array in place.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "node: int\n"
     "    Index of starting node.\n"
     "connections_sparse: list\n"
     "    Adjacency list where each index has a list of neighbors.\n"
     "label: int\n"
     "    Label of the starting node.\n"
     "visited: set\n"
     "    Set of visited nodes to avoid redundant processing.\n"
     "labels: np.ndarray[np.int32_t, ndim=1]\n"
     "    Array where each index represents a node and stores its label."), make_labels_entry},
    {Callable::clusterize, signature("clusterize", kClusterizeParams,
     "clusterize(connections_sparse, weights_sparse, ndarray labels)\n"
     "\n"
     "Main function for clustering the data with given labels. The algorithm is a modification of\n"
     "traditional edge cutting in the MST graph. It finds a subgraph of edges that are part of the path\n"
     "that connects nodes of different labels. It chooses edges from that subgraph and cuts them until\n"
     "all nodes with different labels are separated. At the end, it connects the nodes with the same labels.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "weights_sparse: np.ndarray\n"
     "    Array of edge weights.\n"
     "connections_sparse: np.ndarray\n"
     "    Array of connections (edges) between nodes.\n"
     "labels: np.ndarray\n"
     "    Array where each index represents a node and its corresponding label.\n"
     "\n"
     "Returns\n"
     "-------\n"
     "new_labels: np.ndarray\n"
     "    Array of new labels, where all nodes are assigned to a label."), clusterize_entry},
};

constexpr int kFunctionCount = sizeof(kFunctions) / sizeof(kFunctions[0]);

static_assert(kFunctionCount == kCallableCount, "one table entry per Callable");

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const FunctionSpec& spec = *reinterpret_cast<FunctionObject*>(self)->spec;
    return guarded<PyObject*>(nullptr, [&] {
        Arguments arguments;
        match_arguments(spec.signature, args, kwargs, arguments);
        return spec.entry(arguments);
    });
}

Ref new_function(const FunctionSpec& spec) {
    auto* f = PyObject_New(FunctionObject, &FunctionType);
    if (!f) throw_error_set();
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->spec = &spec;
    f->name = f->qualname = f->module = f->doc = f->defaults = nullptr;
    f->name = check(PyUnicode_FromString(spec.signature.name));
    f->qualname = Py_NewRef(f->name);
    f->module = check(PyUnicode_FromString(kModuleName));
    f->doc = check(PyUnicode_FromString(spec.signature.doc));
    f->defaults = default_values(spec.signature).release();
    return owner;
}

void bind(PyObject* module, const char* name, PyObject* value) {
    check_status(PyObject_SetAttrString(module, name, value));
}

Ref import(const char* name) { return Ref::steal(check(PyImport_ImportModule(name))); }

Ref import_from(PyObject* module, const char* name) {
    PyObject* value = PyObject_GetAttrString(module, name);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            Ref text = Ref::steal(check(PyUnicode_FromString(name)));
            raise_format(PyExc_ImportError, "cannot import name %S", text.get());
        }
        throw_error_set();
    }
    return Ref::steal(value);
}

void check_interpreter_version() {
    const char* running = Py_GetVersion();
    int major = 0, minor = 0;
    if (std::sscanf(running, "%d.%d", &major, &minor) != 2) return;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    char message[200];
    std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major, minor);
    check_status(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
}

// The NumPy types the module relies on must be at least as large as the headers it was built with.
void check_numpy_types(PyObject* numpy) {
    struct Expected {
        const char* name;
        Py_ssize_t size;
    };
    const Expected expected[] = {
        {"dtype", sizeof(PyArray_Descr)},
        {"flatiter", sizeof(PyArrayIterObject)},
        {"broadcast", sizeof(PyArrayMultiIterObject)},
        {"ndarray", sizeof(PyArrayObject)},
        {"generic", sizeof(PyObject)},
        {"number", sizeof(PyObject)},
        {"integer", sizeof(PyObject)},
        {"signedinteger", sizeof(PyObject)},
        {"unsignedinteger", sizeof(PyObject)},
        {"inexact", sizeof(PyObject)},
        {"floating", sizeof(PyObject)},
        {"complexfloating", sizeof(PyObject)},
        {"flexible", sizeof(PyObject)},
        {"character", sizeof(PyObject)},
        {"ufunc", sizeof(PyUFuncObject)},
    };
    for (const Expected& e : expected) {
        Ref type = import_from(numpy, e.name);
        if (!PyType_Check(type.get()))
            raise_format(PyExc_TypeError, "%.200s.%.200s is not a type object", "numpy", e.name);
        Py_ssize_t actual = reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize;
        if (actual < e.size)
            raise_format(PyExc_ValueError,
                         "numpy.%.200s size changed, may indicate binary incompatibility. Expected %zd from C "
                         "header, got %zd from PyObject",
                         e.name, e.size, actual);
    }
}

void set_dunder(PyObject* module, const char* name, PyObject* value) {
    if (value && value != Py_None) check_status(PyObject_SetAttrString(module, name, value));
}

// ---------------------------------------------------------------------------------------------
// The two start-up steps.

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current == -1 && PyErr_Occurred()) throw_error_set();
        ProcessState& state = process_state();
        if (state.interpreter == -1) {
            state.interpreter = current;
        } else if (current != state.interpreter) {
            raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        }
        if (state.module) return Py_NewRef(state.module);

        Ref name = Ref::steal(check(PyObject_GetAttrString(spec, "name")));
        Ref module = Ref::steal(check(PyModule_NewObject(name.get())));
        Ref loader = Ref::steal(check(PyObject_GetAttrString(spec, "loader")));
        Ref origin = Ref::steal(check(PyObject_GetAttrString(spec, "origin")));
        Ref parent = Ref::steal(check(PyObject_GetAttrString(spec, "parent")));
        Ref locations = Ref::steal(check(PyObject_GetAttrString(spec, "submodule_search_locations")));
        set_dunder(module.get(), "__loader__", loader.get());
        set_dunder(module.get(), "__file__", origin.get());
        set_dunder(module.get(), "__package__", parent.get());
        set_dunder(module.get(), "__path__", locations.get());
        return module.release();
    });
}

void execute(PyObject* module) {
    check_interpreter_version();
    start_extension();

    PyObject* modules = PyImport_GetModuleDict();
    int registered = check_status(PyDict_Contains(modules, Ref::steal(check(PyUnicode_FromString(kModuleName))).get()));
    if (!registered) check_status(PyDict_SetItemString(modules, kModuleName, module));

    // Built-in names the callables rely on.
    PyObject* builtins = PyEval_GetBuiltins();
    for (const char* name : {"range", "reversed", "ValueError", "IndexError", "OverflowError", "TypeError", "ImportError"}) {
        if (!PyDict_GetItemString(builtins, name)) raise_format(PyExc_NameError, "name '%s' is not defined", name);
    }

    bind(module, "__builtins__", import("builtins").get());
    check_status(ready_graph_wrapper_type());
    bind(module, "GraphWrapper", reinterpret_cast<PyObject*>(&GraphWrapperType));

    check_numpy_types(import("numpy").get());

    Ref spatial = import("scipy.spatial");
    bind(module, "distance", import_from(spatial.get(), "distance").get());
    bind(module, "np", import("numpy").get());
    Ref distance = import("scipy.spatial.distance");
    bind(module, "pdist", import_from(distance.get(), "pdist").get());
    bind(module, "squareform", import_from(distance.get(), "squareform").get());
    Ref heapq = import("heapq");
    bind(module, "heappop", import_from(heapq.get(), "heappop").get());
    bind(module, "heappush", import_from(heapq.get(), "heappush").get());
    bind(module, "np", import("numpy").get());

    if (PyType_Ready(&FunctionType) < 0) throw_error_set();
    for (int i = 0; i < kFunctionCount; ++i) {
        Ref f = new_function(kFunctions[i]);
        bind(module, kFunctions[i].signature.name, f.get());
        Py_XSETREF(process_state().functions[i], f.release());
    }
}

int execute_module(PyObject* module) noexcept {
    ProcessState& state = process_state();
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'brov_core' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    state.module_dict = PyModule_GetDict(module);
    int status = guarded<int>(-1, [&] {
        execute(module);
        return 0;
    });
    if (status < 0) {
        state.module_dict = nullptr;
        Py_CLEAR(state.module);
    }
    return status;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "brov_core", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

Ref module_global(PyObject* name) {
    PyObject* dict = process_state().module_dict;
    PyObject* value = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (!value) {
        if (PyErr_Occurred()) throw_error_set();
        raise_format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::borrow(value);
}

Ref lookup(Callable which) { return module_global(process_state().names.callables[static_cast<int>(which)]); }

bool is_module_function(PyObject* obj, Callable which) {
    return obj == process_state().functions[static_cast<int>(which)];
}

}  // namespace brov

extern "C" PyMODINIT_FUNC PyInit_brov_core() {
    brov::FunctionType.tp_dealloc = brov::function_dealloc;
    brov::FunctionType.tp_repr = brov::function_repr;
    brov::FunctionType.tp_call = brov::function_call;
    brov::FunctionType.tp_flags = Py_TPFLAGS_DEFAULT;
    brov::FunctionType.tp_methods = brov::function_methods;
    brov::FunctionType.tp_getset = brov::function_getset;
    return PyModuleDef_Init(&brov::module_def);
}
