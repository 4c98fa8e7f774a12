"""Expression queries answered through Index.reduced_query(...).collect()."""

import enum
import itertools

import pytest
from Veldrake import Index, Indexable, PyQueryExpr as Q

from reference_model import evaluate, keyword_select, same, to_query

INF = float("inf")
NAN = float("nan")
BIG = 2**53
TOP, BOTTOM = 2**63 - 1, -(2**63)
ORDER_OPS = ("gt", "ge", "lt", "le")


def make(label, **attrs):
    """A member with a unique label, so that results can be compared as readable sets."""
    return Indexable(label=label, **attrs)


def indexed(*objs):
    index = Index()
    index.add_object_many(list(objs))
    return index


def found(index, expr):
    """The labels of what `expr` selects; a result holds each object once."""
    result = index.reduced_query(expr).collect()
    labels = [getattr(obj, "label", "<unlabelled>") for obj in result]
    assert len(labels) == len(set(labels)), labels
    return set(labels)


def labels(objs):
    return {obj.label for obj in objs}


def panics(call):
    """Runs `call`, which must raise the module's internal-error exception; returns its class."""
    with pytest.raises(BaseException) as info:
        call()
    kind = type(info.value)
    assert (kind.__name__, kind.__module__) == ("PanicException", "ext_runtime")
    assert not isinstance(info.value, Exception)
    return kind


# Held values of `x`, operands swept over every comparison and range, and spot checks that pin
# the exact answers for the cases most easily got wrong.
NUMERIC_CASES = {
    "ints_and_floats_are_one_number": (
        [30, 30.0, ["a", 30.0], 31, 30.5, "30", 0, 0.0, -0.0, -1, None],
        [30, 30.0, 30.25, 0, -0.0, -1.0, "30"],
        [(Q.eq("x", 30), {0, 1, 2}), (Q.eq("x", -0.0), {6, 7, 8}),
         (Q.in_("x", [30.0, 31]), {0, 1, 2, 3})],
    ),
    "inclusive_and_exclusive_ends": (
        [-5, 0, 1, 1.5, 2, 2.0, 3, 10, "2", None, [0, 10]],
        [-6, -5, -0.5, 0, 0.5, 1, 1.5, 2, 2.0, 2.5, 3, 9.99, 10, 11],
        [(Q.gt("x", 1), {3, 4, 5, 6, 7, 10}), (Q.bt("x", 2, 2), {4, 5}),
         (Q.bt("x", 2, 1), set())],
    ),
    "ints_beyond_float_precision": (
        [BIG, BIG + 1, float(BIG), BIG - 1, BIG + 2],
        [BIG, BIG + 1, float(BIG), BIG - 1, BIG + 2, BIG + 3],
        [(Q.eq("x", BIG + 1), {1}), (Q.eq("x", float(BIG)), {0, 2}),
         (Q.gt("x", float(BIG)), {1, 4})],
    ),
    "the_64_bit_limits": (
        [TOP, TOP - 1, BOTTOM, BOTTOM + 1, 2.0**63, -(2.0**63), 2.0**63 - 1024, 1e300, -1e300],
        [TOP, TOP - 1, BOTTOM, BOTTOM + 1, 2.0**63, -(2.0**63), 2.0**63 - 1024, 2**63 - 1024,
         2**63 - 1025, 1e300, -1e300, 0],
        [(Q.eq("x", TOP), {0}), (Q.eq("x", BOTTOM), {2, 5}), (Q.gt("x", TOP - 1), {0, 4, 7}),
         (Q.bt("x", TOP, 2.0**63), {0, 4})],
    ),
    "infinities": (
        [-INF, -1.7e308, 0, TOP, 1.7e308, INF],
        [-INF, INF, 1.7e308, -1.7e308, 0, TOP],
        [(Q.gt("x", 1.7e308), {5}), (Q.le("x", -INF), {0}), (Q.bt("x", INF, -INF), set())],
    ),
    "nan_matches_no_comparison": (
        [NAN, -NAN, 1, 2.5, [NAN, 3], "nan"],
        [NAN, 0, 1, 3, INF, -INF],
        [(Q.eq("x", NAN), set()), (Q.in_("x", [NAN, 1]), {2}), (Q.bt("x", 0, NAN), set()),
         (Q.bt("x", -INF, INF), {2, 3, 4})],
    ),
    "subnormals_zeros_and_extremes_in_lists": (
        [5e-324, -5e-324, 0.0, -0.0, 0, 1e308, -1e308, [BIG - 1, "t"], [-INF, "t"], [2**53 + 1]],
        [5e-324, -5e-324, -0.0, 0, 1e308, BIG - 1, 2.0**53, -INF, True],
        [(Q.eq("x", 5e-324), {0}), (Q.le("x", -1e308), {6, 8}), (Q.eq("x", 2.0**53), set())],
    ),
    "strings_match_by_equality_and_never_by_order": (
        ["a", "b", "B", "", 5, "5", "x" * 100, "x" * 99 + "y", "\u00e9", "e\u0301", ["b", "c"]],
        ["a", "b", "", "5", 5, "ab", "x" * 100, "\u00e9", "e\u0301", "zzz"],
        [(Q.eq("x", "b"), {1, 10}), (Q.eq("x", "5"), {5}), (Q.eq("x", "e\u0301"), {9}),
         (Q.gt("x", "a"), set()), (Q.le("x", "zzz"), set())],
    ),
    "bools_are_not_numbers": (
        [True, False, 1, 0, 1.0, 0.0, [True, False]],
        [True, False, 0, 1, 0.5],
        [(Q.eq("x", True), {0, 6}), (Q.eq("x", 1), {2, 4}), (Q.bt("x", 0, 1), {2, 3, 4, 5}),
         (Q.in_("x", [True, 0]), {0, 6, 3, 5})],
    ),
}


@pytest.mark.parametrize("case", NUMERIC_CASES)
def test_comparisons_agree_with_exact_arithmetic(case):
    values, operands, spot_checks = NUMERIC_CASES[case]
    objs = [make(str(i), x=value) for i, value in enumerate(values)] + [make("bare")]
    index = indexed(*objs)
    for expr, expected in spot_checks:
        assert found(index, expr) == {str(i) for i in expected}, expr
    numbers = [v for v in operands if type(v) in (int, float)]  # a range of others is refused
    trees = [(op, "x", v) for v in operands for op in ("eq", "ne") + ORDER_OPS]
    trees += [("bt", "x", lo, hi) for lo, hi in itertools.product(numbers, repeat=2)]
    trees += [("in", "x", list(pair)) for pair in itertools.combinations(operands, 2)]
    for tree in trees:
        assert found(index, to_query(tree)) == labels(evaluate(tree, objs)), tree
    for value in operands:
        assert same(index.get_by_attribute(x=value), keyword_select(objs, {"x": value})), value


def test_bad_order_operands_raise_and_leave_the_index_usable():
    owner = Indexable(country="fr")
    objs = [make("one", x=1), make("five", x=5.0), make("text", x="m"),
            make("held", x=owner), make("bare")]
    index = indexed(*objs)
    view = index.reduced_query(Q.ge("x", 0))
    first = panics(lambda: index.reduced_query(Q.gt("x", owner)).collect())
    for expr in (Q.gt("x", Indexable()), Q.bt("x", "a", "z"), Q.bt("x", 1, "z"),
                 Q.bt("x", "a", 9), Q.or_(Q.eq("x", 1), Q.gt("x", owner))):
        assert panics(lambda: index.reduced_query(expr).collect()) is first
    panics(lambda: view.reduced_query(Q.gt("x", owner)).collect())

    assert found(index, Q.bt("x", 1, 5)) == {"one", "five"}
    assert found(index, Q.eq("x", owner)) == {"held"}
    assert found(view, Q.lt("x", 2)) == {"one"}
    objs[0].x = 50
    objs[2].x = 7
    index.add_object(make("late", x=6))
    assert found(index, Q.bt("x", 5, 7)) == {"five", "text", "late"}
    assert found(index, Q.eq("x", "m")) == set()
    assert found(view, Q.gt("x", 6)) == {"one"}


def test_ne_and_not_are_complements_within_the_members():
    objs = [make("int1", x=1), make("float1", x=1.0), make("two", x=2), make("list", x=[1, 2]),
            make("str1", x="1"), make("none", x=None), make("bare"), make("nan", x=NAN),
            make("true", x=True), make("other", y=1)]
    outsider = make("outsider", x=5)  # never added
    index = indexed(*objs)
    ones = {"int1", "float1", "list"}
    for tree in [("ne", "x", 1), ("not", ("gt", "x", 1)), ("ne", "x", "1"), ("ne", "x", True),
                 ("ne", "x", None), ("ne", "never_used", 1), ("not", ("not", ("eq", "x", 1)))]:
        assert found(index, to_query(tree)) == labels(evaluate(tree, objs)), tree
    outsider.x = 1  # a non-member's write changes nothing
    assert found(index, Q.not_(Q.eq("x", 1))) == labels(objs) - ones


def test_and_or_not_combine_as_set_operations():
    objs = [make(f"o{i}", x=i % 4, y="ab"[i % 2], z=float(i)) for i in range(12)]
    objs += [make("bare"), make("only_y", y="a")]
    index = indexed(*objs)
    gt, eq, lt, in_ = ("gt", "x", 1), ("eq", "y", "a"), ("lt", "z", 6), ("in", "x", [0, 3])
    none, every = ("and", []), ("not", ("and", []))
    for tree in [
        none, ("or", []), every, ("not", ("or", [])), ("and", [gt]), ("and", [gt, eq, lt]),
        ("or", [gt, eq]), ("or", [("not", gt), ("not", eq)]), ("or", [none, gt]),
        ("and", [("or", [lt, eq]), ("not", in_)]), ("and", [every, gt]), ("and", [eq, eq]),
        ("and", [lt, ("not", lt)]), ("not", ("not", ("not", in_))),
    ]:
        assert found(index, to_query(tree)) == labels(evaluate(tree, objs)), tree
    assert found(index, to_query(every)) == labels(objs)
    assert found(Index(), to_query(every)) == set()


def test_in_matches_any_of_several_values():
    objs = [make("one", x=1), make("onef", x=1.0), make("a", x="a"), make("true", x=True),
            make("two", x=2), make("list", x=["q", 7]), make("none", x=None), make("bare")]
    index = indexed(*objs)
    for values, expected in [
        ([1, "a", 7], {"one", "onef", "a", "list"}), ((2, "q"), {"two", "list"}),
        (range(1, 3), {"one", "onef", "two"}), ([], set()), ((), set()), ([None], set()),
        ([True], {"true"}), ([1, 1, 1.0], {"one", "onef"}), ([[1], ("a",)], set()),
    ]:
        assert found(index, Q.in_("x", values)) == expected, values
    assert found(index, Q.in_("nowhere", [1, "a"])) == set()


def test_dotted_paths_reach_nested_objects_and_follow_their_writes():
    lyon = Indexable(city="Lyon", zip=69000)
    fr = Indexable(country="fr", address=lyon, rank=1)
    de = Indexable(country="de", address=[Indexable(city="Paris", zip=75000), "none"], rank=2.5)
    objs = [
        make("fr", owner=fr, country="de"), make("de", owner=de), make("both", owner=[fr, (de,)]),
        make("nameless", owner=Indexable(rank=3)), make("none", owner=None),
        make("text", owner="fr"), make("bare"),
    ]
    index = indexed(*objs)
    trees = [
        ("eq", "owner.country", "fr"), ("eq", "owner.country", "es"), ("eq", "country", "de"),
        ("eq", "owner.address.city", "Paris"), ("eq", "owner.address.city", "Nice"),
        ("gt", "owner.address.zip", 70000), ("in", "owner.rank", [3, 1.0]),
        ("not", ("eq", "owner.address.city", "Lyon")), ("ne", "owner.country", "es"),
        ("eq", "owner", fr), ("eq", "owner.country.x", "fr"), ("eq", "city", "Lyon"),
        ("and", [("eq", "owner.country", "fr"), ("eq", "country", "de")]),
    ]
    for write in (lambda: None, lambda: setattr(fr, "country", "es"),
                  lambda: setattr(lyon, "city", "Nice"), lambda: setattr(objs[2], "owner", [de])):
        write()
        for tree in trees:
            assert found(index, to_query(tree)) == labels(evaluate(tree, objs)), tree
    # Nested objects are reached through their holders but are never results themselves.
    assert same(index.reduced_query(Q.ne("city", "x")).collect(), objs)
    assert found(index, Q.eq("owner.country", "es")) == {"fr"}


class Colour(enum.IntEnum):
    RED = 1


class MyInt(int):
    pass


def test_unknown_and_container_operands_find_nothing():
    token = object()
    objs = [make("none", x=None), make("bytes", x=b"b"), make("frozen", x=frozenset({1})),
            make("list", x=[1]), make("tuple", x=(1,)), make("one", x=1), make("token", x=token),
            make("enum", x=Colour.RED), make("myint", x=MyInt(1)), make("dict", x={1: 1})]
    index = indexed(*objs)
    for operand in (None, b"b", frozenset({1}), [1], (1,), {1}, token, Colour.RED, MyInt(1),
                    {1: 1}, Indexable()):
        assert found(index, Q.eq("x", operand)) == set(), operand
        assert found(index, Q.in_("x", [operand])) == set(), operand
        assert found(index, Q.ne("x", operand)) == labels(objs), operand
    for op in ORDER_OPS:
        assert found(index, getattr(Q, op)("x", None)) == set(), op
    assert found(index, Q.eq("x", 1)) == {"list", "tuple", "one"}


def test_queries_on_attributes_never_used_find_nothing():
    index = indexed(make("a", x=1), make("b", x="s"))
    for expr in (Q.eq("nope", 1), Q.gt("nope", 0), Q.bt("nope", 0, 9), Q.in_("nope", [1, "s"]),
                 Q.eq("nope.deeper", 1), Q.eq("x.deeper", 1)):
        assert found(index, expr) == set()
        assert found(index, Q.not_(expr)) == {"a", "b"}
        assert found(Index(), expr) == set()
