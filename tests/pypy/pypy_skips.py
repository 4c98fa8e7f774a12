"""pytest plugin for `make test-pypy`: skips the tests that check CPython-only behaviour.

Loaded with `-p pypy_skips`; under CPython it changes nothing. Each entry names a test (a node
id prefix, so a whole file or every parameter of a test) and why PyPy cannot pass it. Everything
else in tests/python runs under PyPy as it is.
"""

import platform

import pytest

NO_REFCOUNTS = ("PyPy has no reference counts (no sys.getrefcount) and frees objects only when "
                "its collector runs, not when the last reference goes")
NO_CYCLES = ("PyPy's C-API layer (cpyext) does not collect reference cycles that pass through "
             "objects of C extensions, and gc.get_referents does not call tp_traverse")

SKIPS = {
    "tests/python/test_leaks.py": NO_REFCOUNTS,
    "tests/python/test_bad_input.py::test_values_whose_release_calls_back_into_the_module":
        "counts __del__ calls made as the module drops values; PyPy runs __del__ only when its "
        "collector runs",
    "tests/python/test_gc.py::test_every_cycle_shape_is_collected": NO_CYCLES,
    "tests/python/test_gc.py::test_an_index_reports_its_members_while_other_threads_add_them":
        NO_CYCLES,
    "tests/python/test_gc.py::test_combined_expressions_keep_what_they_combine": NO_CYCLES,
    "tests/python/test_dotted_paths.py::test_objects_cut_off_from_the_members_are_released":
        NO_CYCLES,
    "tests/python/test_dotted_paths.py::"
    "test_removal_and_clear_let_go_of_what_only_the_leavers_reached": NO_CYCLES,
    "tests/python/test_index.py::test_collect_returns_members_in_ascending_id_order_each_once":
        "PyPy releases ids when its collector frees objects, so fresh objects take released ids "
        "in no set order and creation order says nothing about id order",
    "tests/python/test_bad_input.py::test_deep_and_self_containing_containers":
        "cpyext converts a tuple to its C form element by element, recursively: a tuple nested "
        "10**5 deep exceeds PyPy's recursion limit inside PyDict_Next and aborts the interpreter",
    "tests/python/test_module.py::"
    "test_only_indexable_can_be_subclassed_and_only_the_module_makes_views_and_queries":
        "cpyext does not enforce Py_TPFLAGS_BASETYPE: PyPy lets Python code subclass Index, "
        "FilteredIndex and PyQueryExpr (instances are still made by their own __new__)",
    "tests/python/test_dotted_paths.py::"
    "test_ctrl_c_stops_a_long_registration_and_leaves_the_index_usable":
        "the add does not see Ctrl-C under PyPy: it completes, and KeyboardInterrupt is raised "
        "after it (the index stays whole, holding the object)",
    "tests/python/test_query_expr.py::test_class":
        "cpyext gives a class whose tp_doc is empty the docstring None instead of ''",
}


def pytest_collection_modifyitems(config, items):
    if platform.python_implementation() != "PyPy":
        return
    for item in items:
        for prefix, reason in SKIPS.items():
            if item.nodeid == prefix or item.nodeid.startswith((prefix + "::", prefix + "[")):
                item.add_marker(pytest.mark.skip(reason=f"PyPy: {reason}"))
                break
