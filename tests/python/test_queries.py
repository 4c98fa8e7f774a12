"""Expression queries answered through Index.reduced_query(...).collect()."""

import itertools

import pytest
from Veldrake import Index, Indexable, PyQueryExpr as Q

import driver
from reference_model import indexed, panics, same, to_query

INF, NAN, BIG = float("inf"), float("nan"), 2**53
TOP, BOTTOM = 2**63 - 1, -(2**63)
OPS = ("eq", "ne", "gt", "ge", "lt", "le")


def found(index, expr):
    """The labels of what `expr` selects; a result holds each object once."""
    labels = [getattr(obj, "label", "<unlabelled>") for obj in index.reduced_query(expr).collect()]
    assert len(labels) == len(set(labels)), labels
    return set(labels)


# Held values of `x`, and operands swept over every comparison, range and membership test.
NUMERIC_CASES = {
    "ints_and_floats_are_one_number": (
        [30, 30.0, ["a", 30.0], 31, 30.5, "30", 0, 0.0, -0.0, -1, None],
        [30, 30.0, 30.25, 0, -0.0, -1.0, "30"]),
    "inclusive_and_exclusive_ends": (
        [-5, 0, 1, 1.5, 2, 2.0, 3, 10, "2", None, [0, 10]],
        [-6, -5, -0.5, 0, 0.5, 1, 1.5, 2, 2.0, 2.5, 3, 9.99, 10, 11]),
    "ints_beyond_float_precision": (
        [BIG, BIG + 1, float(BIG), BIG - 1, BIG + 2],
        [BIG, BIG + 1, float(BIG), BIG - 1, BIG + 2, BIG + 3]),
    "the_64_bit_limits": (
        [TOP, TOP - 1, BOTTOM, BOTTOM + 1, 2.0**63, -(2.0**63), 2.0**63 - 1024, 1e300, -1e300],
        [TOP, TOP - 1, BOTTOM, BOTTOM + 1, 2.0**63, -(2.0**63), 2.0**63 - 1024, 2**63 - 1024,
         2**63 - 1025, 1e300, -1e300, 0]),
    "operands_beyond_64_bits": (
        [0, TOP, BOTTOM, float(2**70), INF, -INF, 1e300],
        [2**63, BOTTOM - 1, 2**70, 2**70 + 1, 2**70 - 1, -(2**70), 10**400, -(10**400), 0]),
    "infinities": ([-INF, -1.7e308, 0, TOP, 1.7e308, INF], [-INF, INF, 1.7e308, -1.7e308, 0, TOP]),
    "nan_matches_no_comparison": ([NAN, -NAN, 1, 2.5, [NAN, 3], "nan"], [NAN, 0, 1, 3, INF, -INF]),
    "subnormals_zeros_and_extremes_in_lists": (
        [5e-324, -5e-324, 0.0, -0.0, 0, 1e308, -1e308, [BIG - 1, "t"], [-INF, "t"], [2**53 + 1]],
        [5e-324, -5e-324, -0.0, 0, 1e308, BIG - 1, 2.0**53, -INF, True]),
    "strings_match_by_equality_and_never_by_order": (
        ["a", "b", "B", "", 5, "5", "x" * 100, "x" * 99 + "y", "\u00e9", "e\u0301", ["b", "c"]],
        ["a", "b", "", "5", 5, "ab", "x" * 100, "\u00e9", "e\u0301", "zzz"]),
    "bools_are_not_numbers": ([True, False, 1, 0, 1.0, 0.0, [True, False]], [True, False, 0, 1, 0.5]),
    # Lists and tuples of nothing but text keep their leaves as the str objects; a dict or a
    # number among them takes the general path. Both must answer alike.
    "containers_of_text_whichever_way_they_are_kept": (
        [["a", "b"], ("b", "\u00e9t\u00e9"), ["x" * 40, "", "a", "a"], ["a", {}, "b"], ["a", 1],
         [], ("\u65e5",), ["b", ["c"]], "a"],
        ["a", "b", "", "\u00e9t\u00e9", "x" * 40, "\u65e5", "c", 1, "zzz"]),
}


@pytest.mark.parametrize("case", NUMERIC_CASES)
def test_comparisons_agree_with_exact_arithmetic(case):
    values, operands = NUMERIC_CASES[case]
    objs = [Indexable(label=str(i), x=value) for i, value in enumerate(values)]
    objs.append(Indexable(label="bare"))
    index = indexed(objs)
    program, state = driver.modelled(index, objs)

    def expected(tree):
        return [objs[slot] for slot in program.bounds(tree, state.members, state)[0]]

    numbers = [v for v in operands if type(v) in (int, float)]  # a range of others is refused
    trees = [(op, "x", v) for v in operands for op in OPS]
    trees += [("bt", "x", lo, hi) for lo, hi in itertools.product(numbers, repeat=2)]
    trees += [("in", "x", list(pair)) for pair in itertools.combinations(operands, 2)]
    for tree in trees:
        assert found(index, to_query(tree)) == {o.label for o in expected(tree)}, tree
    for value in operands:
        assert same(index.get_by_attribute(x=value), expected(("in", "x", [value]))), value


@pytest.mark.parametrize("holders", [1, 4, 5, 256, 257, 3000])
def test_one_equality_answers_as_the_same_value_in_a_list(holders):
    # Up to a block of ids is copied out of the stored set; more come back as a bitmap; a
    # number's are listed off its ordered index. Removed holders and holders written away must
    # be gone either way, and the order is the one the list form gives.
    objs = [Indexable(t="k", b=b"k", f=True, n=[7, 7.0][i % 2]) for i in range(holders)]
    objs += [Indexable(t="j", b=b"j", f=False, n=8) for _ in range(3)]
    index = indexed(objs)
    index.remove(objs[0])
    objs[-4].t, objs[-4].n = "j", 8
    for name, value in [("t", "k"), ("b", b"k"), ("f", True), ("t", "j"), ("t", "none"),
                        ("absent", "k"), ("n", 7), ("n", 7.0), ("n", 8), ("n", 9)]:
        alone = index.get_by_attribute(**{name: value})
        assert alone == index.get_by_attribute(**{name: [value]}), (name, value)
        held = [o for o in objs if getattr(o, name, None) == value and o is not objs[0]]
        assert same(alone, held), (name, value)


def test_each_index_answers_from_its_own_value_indexes_whatever_the_names_ids():
    # Names interned early are looked up without the maps' lock, later ones through it: both,
    # in two indexes holding the same names, must find that index's values after writes too.
    names = [f"name_{i}" for i in range(80)]
    objs = [Indexable(**{name: i % 3 for name in names}, label=i) for i in range(6)]
    first, second = indexed(objs[:3]), indexed(objs[3:])
    objs[0].name_79 = objs[4].name_0 = "moved"
    first.remove(objs[1])
    for index, members in [(first, [objs[0], objs[2]]), (second, objs[3:])]:
        for name in ["name_0", "name_79", *names[1:79:13]]:
            for value in [0, 1, 2, "moved"]:
                held = [o for o in members if getattr(o, name) == value]
                assert same(index.get_by_attribute(**{name: value}), held), (name, value)
                assert same(index.reduced_query(Q.eq(name, value)).collect(), held)


def test_bad_order_operands_raise_and_leave_the_index_usable():
    owner = Indexable(country="fr")
    objs = [Indexable(label=label, x=x) for label, x in
            [("one", 1), ("five", 5.0), ("text", "m"), ("held", owner)]]
    index = indexed(objs)
    view = index.reduced_query(Q.ge("x", 0))
    first = type(panics(lambda: index.reduced_query(Q.gt("x", owner)).collect()))
    for expr in (Q.gt("x", Indexable()), Q.bt("x", "a", "z"), Q.bt("x", 1, "z"),
                 Q.bt("x", "a", 9), Q.or_(Q.eq("x", 1), Q.gt("x", owner))):
        assert type(panics(lambda: index.reduced_query(expr).collect())) is first
    panics(lambda: view.reduced_query(Q.gt("x", owner)).collect())
    objs[0].x, objs[2].x = 50, 7
    index.add_object(Indexable(label="late", x=6))
    assert found(index, Q.bt("x", 5, 7)) == {"five", "text", "late"}
    assert found(index, Q.eq("x", owner)) == {"held"}
    assert found(view, Q.gt("x", 6)) == {"one"}


def test_operands_the_random_driver_does_not_make():
    # (Operands of every kind are the driver's: tests/model/driver.py.)
    objs = [Indexable(label="int", x=1), Indexable(label="list", x=[1]), Indexable(label="str", x="1")]
    index = indexed(objs)
    assert found(index, Q.in_("x", range(1, 2))) == {"int", "list"}
    assert found(index, Q.eq("x", Indexable())) == set() and found(Index(), Q.not_(Q.and_())) == set()
