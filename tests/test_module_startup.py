"""brov_core as a module: what an import binds, that there is one module object per process, the
refusals at start-up (second interpreter, missing SciPy, missing NumPy interface), and the
function and method objects (docstrings, names, defaults)."""

import heapq
import importlib
import importlib.util
import os
import subprocess
import sys
import textwrap

import numpy
import pytest
import scipy.spatial.distance

from halvek.algorithms.src.brov.binaries import brov_core as bc

MODULE = "halvek.algorithms.src.brov.binaries.brov_core"
BINARIES = os.path.dirname(os.path.abspath(bc.__file__))
# The folder that holds the `halvek` package in use: the checkout when the module was built in
# place, site-packages when it was installed.
PACKAGE_ROOT = os.path.abspath(os.path.join(BINARIES, *[os.pardir] * 5))
FUNCTIONS = ["find_all_paths_with_labels", "explore_graph_recursive", "find_subgraph_with_labels",
             "make_labels", "clusterize"]
METHODS = ["append", "pop_max", "pop", "contains", "to_numpy", "to_numpy_all"]


def run_python(code):
    """Runs `code` in a fresh interpreter that imports from this checkout; returns the result."""
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, cwd=PACKAGE_ROOT, timeout=120)


# ---------------------------------------------------------------------------------------------
# Namespace

def test_namespace_holds_exactly_the_bound_names():
    public = {name for name in vars(bc) if not (name.startswith("__") and name.endswith("__"))}
    assert public == {"distance", "np", "pdist", "squareform", "heappop", "heappush", "GraphWrapper", *FUNCTIONS}
    dunders = {name for name in vars(bc) if name.startswith("__") and name.endswith("__")}
    assert dunders == {"__name__", "__doc__", "__file__", "__loader__", "__package__", "__spec__",
                       "__builtins__"}


def test_namespace_bindings():
    assert bc.distance is scipy.spatial.distance
    assert bc.np is numpy
    assert bc.pdist is scipy.spatial.distance.pdist
    assert bc.squareform is scipy.spatial.distance.squareform
    assert bc.heappop is heapq.heappop
    assert bc.heappush is heapq.heappush
    assert isinstance(bc.GraphWrapper, type)
    assert bc.GraphWrapper.__name__ == "GraphWrapper"
    assert bc.GraphWrapper.__module__ == MODULE
    for name in FUNCTIONS:
        assert callable(getattr(bc, name))
    assert bc.__doc__ is None
    assert bc.__name__ == MODULE


# ---------------------------------------------------------------------------------------------
# One module object per process

def test_second_import_gives_the_same_object():
    assert importlib.import_module(MODULE) is bc
    from halvek.algorithms.src.brov.binaries import brov_core as again
    assert again is bc


def test_reimport_after_removal_from_sys_modules_gives_the_same_object():
    saved = sys.modules.pop(MODULE)
    try:
        fresh = importlib.import_module(MODULE)
        assert fresh is bc
        # The execute step did nothing the second time: the names are those bound at start-up.
        assert fresh.find_all_paths_with_labels is saved.find_all_paths_with_labels
        assert fresh.GraphWrapper is saved.GraphWrapper
    finally:
        sys.modules[MODULE] = saved


def test_reload_keeps_the_object_and_its_functions():
    before = bc.clusterize
    assert importlib.reload(bc) is bc
    assert bc.clusterize is before


def test_import_from_a_sub_interpreter_is_refused():
    if importlib.util.find_spec("_xxsubinterpreters") is None and importlib.util.find_spec("_interpreters") is None:
        pytest.skip("this interpreter offers no sub-interpreters")
    # A plain `import` of the full name fails earlier: the package's __init__ imports NumPy, whose
    # core refuses a second interpreter ("cannot load module more than once per process"). The
    # sub-interpreter therefore loads the extension file directly to reach the module's own check.
    result = run_python(f"""
        import importlib.util
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:  # renamed in 3.13
            import _interpreters as interpreters
        import {MODULE} as m
        code = (
            "import importlib.util\\n"
            "spec = importlib.util.spec_from_file_location(%r, %r)\\n"
            "importlib.util.module_from_spec(spec)\\n" % (m.__name__, m.__file__)
        )
        # 3.12 and later make isolated interpreters by default, which refuse the module before its
        # own check; ask for one that shares the main interpreter's settings.
        try:
            interp = interpreters.create("legacy")  # 3.13
        except TypeError:
            try:
                interp = interpreters.create(isolated=False)  # 3.12
            except TypeError:
                interp = interpreters.create()
        # Up to 3.12 a failure raises RunFailedError; from 3.13 on it is returned as a snapshot.
        try:
            failure = interpreters.run_string(interp, code)
        except getattr(interpreters, "RunFailedError", ()) as exc:
            print("REFUSED", exc)
        else:
            if failure is None:
                print("LOADED")
            else:
                print("REFUSED <class '%s'>: %s" % (failure.type.__name__, failure.msg))
        # The main interpreter is unaffected.
        import {MODULE} as again
        print("SAME", again is m)
    """)
    assert result.returncode == 0, result.stderr
    assert ("REFUSED <class 'ImportError'>: Interpreter change detected - this module can only be loaded "
            "into one interpreter per process.") in result.stdout
    assert "SAME True" in result.stdout


BLOCKER = """
    import sys

    class Blocker:
        def __init__(self, *names):
            self.names = names
        def find_spec(self, name, path=None, target=None):
            if any(name == n or name.startswith(n + ".") for n in self.names):
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)
            return None
"""


def test_import_without_scipy_fails_then_succeeds_once_scipy_is_back():
    result = run_python(BLOCKER + f"""
    import halvek.algorithms.src.brov.binaries  # the package itself, without the extension
    for name in [m for m in sys.modules if m == "scipy" or m.startswith("scipy.")]:
        del sys.modules[name]
    blocker = Blocker("scipy")
    sys.meta_path.insert(0, blocker)
    try:
        import {MODULE}
    except ModuleNotFoundError as exc:
        print("FAILED", exc.name)
    else:
        print("IMPORTED")
    print("REGISTERED", {MODULE!r} in sys.modules)
    # The failed start-up left no module object behind: a later import starts afresh.
    sys.meta_path.remove(blocker)
    import {MODULE} as m
    print("NAMES", sorted(n for n in vars(m) if not n.startswith("__")))
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "FAILED scipy" in lines or "FAILED scipy.spatial" in lines, result.stdout
    assert "REGISTERED False" in lines
    assert ("NAMES ['GraphWrapper', 'clusterize', 'distance', 'explore_graph_recursive', "
            "'find_all_paths_with_labels', 'find_subgraph_with_labels', 'heappop', 'heappush', 'make_labels', "
            "'np', 'pdist', 'squareform']") in lines


def test_missing_numpy_native_interface_is_reported_as_numpy_import_failure():
    # Load the extension file directly (the package itself imports NumPy) with NumPy's native
    # core hidden.
    result = run_python(BLOCKER + f"""
    import importlib.util, os
    path = {BINARIES!r}
    so = [f for f in os.listdir(path) if f.startswith("brov_core")][0]
    sys.meta_path.insert(0, Blocker("numpy"))
    spec = importlib.util.spec_from_file_location({MODULE!r}, os.path.join(path, so))
    module = importlib.util.module_from_spec(spec)
    try:
        spec.loader.exec_module(module)
    except ImportError as exc:
        print("FAILED", type(exc).__name__, exc)
    else:
        print("IMPORTED")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("FAILED ImportError numpy.core.multiarray failed to import"), result.stdout


@pytest.mark.parametrize("helper", ["_bulk", "_tree"])
def test_helper_modules_report_a_missing_numpy_interface_like_the_core_and_can_start_later(helper):
    # NumPy's own import_array() would print its error and leave a bare ImportError; the helper
    # modules raise the same failure as the core, with the first error as its cause, print
    # nothing, and start normally once NumPy is reachable again.
    name = MODULE.rsplit(".", 1)[0] + "." + helper
    result = run_python(BLOCKER + f"""
    import importlib.util, os
    path = {BINARIES!r}
    so = [f for f in os.listdir(path) if f.startswith({helper!r} + ".")][0]
    blocker = Blocker("numpy")
    sys.meta_path.insert(0, blocker)
    spec = importlib.util.spec_from_file_location({name!r}, os.path.join(path, so))
    module = importlib.util.module_from_spec(spec)
    try:
        spec.loader.exec_module(module)
    except ImportError as exc:
        print("FAILED", type(exc).__name__, exc, "| cause:", type(exc.__cause__).__name__)
    else:
        print("IMPORTED")
    sys.meta_path.remove(blocker)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    print("STARTED", sorted(n for n in vars(module) if not n.startswith("__")))
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("FAILED ImportError numpy.core.multiarray failed to import | cause: "), result.stdout
    assert not lines[0].endswith("NoneType")
    expected = {"_bulk": "['candidate_pairs', 'cluster_edges', 'edges_from_csr', 'graph_from_csr', 'graph_to_csr', "
                         "'nearest_labels', 'nearest_neighbours', 'smoothed_votes', 'voted_tree', 'voting_trees']",
                "_tree": "['euclidean_mst_edges', 'smaller_side_sizes', 'tile_lists']"}[helper]
    assert lines[1] == "STARTED " + expected
    assert result.stderr == ""


# ---------------------------------------------------------------------------------------------
# Function and method objects

DOCS = {
    "find_all_paths_with_labels": "\n".join([
        "find_all_paths_with_labels(connections_sparse, ndarray labels, int start, int bomb_node=-1, path=None)",
        "",
        "Find all paths from the starting node to nodes with labels greater than -1 using DFS algorithm.",
        "Stop searching a path if a node with the same label as the starting node is encountered,",
        'if a node with a label > -1 is found, or if a "bomb node" is encountered.',
        "",
        "Parameters",
        "----------",
        "connections_sparse: np.ndarray",
        "    Object that for each index of the first dimension has a list representation of vertices connected "
        "to the index.",
        "labels: np.ndarray",
        "    Array in which for each index that refers to node there is label information.",
        "start: int",
        "    Index of starting node.",
        "bomb_node: int, optional",
        '    Index of the "bomb node". If visited, the search in this direction stops. Defaults to None.',
        "path:",
        "    Path at the current state of algorithm. Defaults to None.",
        "",
        "Returns",
        "----------",
        "List of all paths from the starting node to nodes with labels > -1",
    ]),
    "explore_graph_recursive": "\n".join([
        "explore_graph_recursive(connections_sparse, ndarray labels, int start)",
        "",
        "Explore the graph recursively by finding all paths from a starting node.",
        "After finding paths, recursively call the function for the end nodes of each path,",
        "passing the current start as a bomb node to prevent backtracking.",
        "",
        "Parameters",
        "----------",
        "connections_sparse: np.ndarray",
        "    Graph adjacency list in sparse format.",
        "labels: np.ndarray",
        "    Array of labels for each node.",
        "start: int",
        "    Starting node.",
        "",
        "Returns",
        "----------",
        "List of all paths explored during the traversal.",
    ]),
    "find_subgraph_with_labels": "\n".join([
        "find_subgraph_with_labels(connections_sparse, weights_sparse, ndarray labels)",
        "",
        "Creates subgraph of original graph that consists of paths between nodes with different labels.",
        "If node is not labeled, it is not treated as an obstacle for path.",
        "",
        "Parameters",
        "----------",
        "weights_sparse",
        "connections_sparse",
        "labels: np.ndarray",
        "    Array in which each index refers to a node and its label information.",
        "",
        "Returns",
        "-------",
        "sub_connections_sparse, sub_weights_sparse: np.ndarray",
        "    Objects similar to connections_sparse and weights_sparse that define a subgraph of the original "
        "graph.",
    ]),
    "make_labels": "\n".join([
        "make_labels(connections_sparse, int node, int label, set visited, ndarray labels)",
        "",
        "Recursively assigns the same label to all nodes connected to the starting node.",
        "Modifies the labels array in place.",
        "",
        "Parameters",
        "----------",
        "node: int",
        "    Index of starting node.",
        "connections_sparse: list",
        "    Adjacency list where each index has a list of neighbors.",
        "label: int",
        "    Label of the starting node.",
        "visited: set",
        "    Set of visited nodes to avoid redundant processing.",
        "labels: np.ndarray[np.int32_t, ndim=1]",
        "    Array where each index represents a node and stores its label.",
    ]),
    "clusterize": "\n".join([
        "clusterize(connections_sparse, weights_sparse, ndarray labels)",
        "",
        "Main function for clustering the data with given labels. The algorithm is a modification of",
        "traditional edge cutting in the MST graph. It finds a subgraph of edges that are part of the path",
        "that connects nodes of different labels. It chooses edges from that subgraph and cuts them until",
        "all nodes with different labels are separated. At the end, it connects the nodes with the same labels.",
        "",
        "Parameters",
        "----------",
        "weights_sparse: np.ndarray",
        "    Array of edge weights.",
        "connections_sparse: np.ndarray",
        "    Array of connections (edges) between nodes.",
        "labels: np.ndarray",
        "    Array where each index represents a node and its corresponding label.",
        "",
        "Returns",
        "-------",
        "new_labels: np.ndarray",
        "    Array of new labels, where all nodes are assigned to a label.",
    ]),
}

METHOD_DOCS = {
    "append": "GraphWrapper.append(self, ITYPE_t index, value)\n\nAppend an element to the array.",
    "pop_max": "GraphWrapper.pop_max(self) -> tuple\n\n"
               "Remove and return the maximum value, its list index, and sublist index\n"
               "from all sub-arrays. Removes both occurrences of the maximum value.",
    "pop": "\n".join([
        "GraphWrapper.pop(self, int list_index, int element_index)",
        "",
        "Remove and return the element at the specified index from a sublist.",
        "",
        "Parameters:",
        "    list_index (int): Index of the list from which to remove the element.",
        "    element_index (int): Index of the element to remove within the sublist.",
        "",
        "Returns:",
        "    int: The removed element.",
    ]),
    "contains": "GraphWrapper.contains(self, int64_t index, int64_t value)\n\n"
                "Check if a value exists in the array.\n"
                "Performable only for `int` arrays for O(1) set performance.",
    "to_numpy": "GraphWrapper.to_numpy(self, ITYPE_t index)\n\n"
                "Convert the specified array to a NumPy array by copying the data from stored arrays.",
    "to_numpy_all": "GraphWrapper.to_numpy_all(self)\n\nConvert all arrays to a list of NumPy arrays.",
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects(name):
    f = getattr(bc, name)
    assert f.__doc__ == DOCS[name]
    assert f.__name__ == name
    assert f.__qualname__ == name
    assert f.__module__ == MODULE


def test_defaults_of_find_all_paths_with_labels():
    assert bc.find_all_paths_with_labels.__defaults__ == (-1, None)
    # The other module functions have no optional parameter.
    assert [getattr(bc, name).__defaults__ for name in FUNCTIONS[1:]] == [None] * 4


@pytest.mark.parametrize("name", METHODS)
def test_method_objects(name):
    method = getattr(bc.GraphWrapper, name)
    assert method.__doc__ == METHOD_DOCS[name]
    assert method.__qualname__ == "GraphWrapper." + name
    assert method.__name__ == name
    # The bound form carries the same text.
    assert getattr(bc.GraphWrapper(1, 0, 1), name).__doc__ == METHOD_DOCS[name]


def test_type_has_no_docstring():
    assert bc.GraphWrapper.__doc__ is None
