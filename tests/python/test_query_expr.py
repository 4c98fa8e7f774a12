"""Building query expressions, and the form they print in."""

import gc

import pytest

from Veldrake import Indexable
from Veldrake import PyQueryExpr as Q

COMPARISONS = ["eq", "ne", "gt", "ge", "lt", "le"]


def text(expr):
    """The debug form inside the repr."""
    r = repr(expr)
    assert r.startswith("<QueryExpr: ") and r.endswith(">")
    return r[len("<QueryExpr: ") : -1]


def test_expressions_print_their_parts():
    for name in COMPARISONS:
        for expr in (getattr(Q, name)("age", 3), getattr(Q, name)(value=3, attr="age"),
                     getattr(Q, name)("age", value=3)):
            assert text(expr).startswith(f'{name.capitalize()}("age", PyValue {{')
    Q.gt("a", Indexable())  # operands that fail only when evaluated still build
    assert text(Q.bt(attr="age", lower=1, upper=9)).startswith('Bt("age", PyValue {')
    assert text(Q.bt("age", "x", "z")).count("PyValue {") == 2
    assert text(Q.bt("age", 1, upper=9)) == text(Q.bt("age", 1, 9))
    for values in ([1, 2], (1, 2), range(1, 3)):
        assert text(Q.in_("tags", values)).count("PyValue {") == 2
    assert text(Q.in_(attr="tags", values=[])) == 'In("tags", [])'
    assert (text(Q.and_()), text(Q.or_()), text(Q.not_(exprs=Q.or_()))) == (
        "And([])", "Or([])", "Not(Or([]))")
    both = text(Q.and_(Q.eq("a", 1), Q.gt("b", 2)))
    assert both.startswith('And([Eq("a", ') and '), Gt("b", ' in both and both.endswith(")])")


def test_shared_instances_are_copied():
    e = Q.eq("a", 1)
    twice = Q.and_(e, e)
    nested = Q.or_(twice, Q.not_(e), e)
    del e
    gc.collect()
    assert text(twice).count('Eq("a", ') == 2
    assert text(nested).count('Eq("a", ') == 4


@pytest.mark.parametrize("path, printed", [
    ('say "hi"\\', r'"say \"hi\"\\"'),
    ("nl\ntab\tcr\r nul\x00", r'"nl\ntab\tcr\r nul\0"'),
    ("bell\x07 del\x7f c1\x85", r'"bell\u{7} del\u{7f} c1\u{85}"'),
    ("héllo ā ✓ Ġ", '"héllo ā ✓ Ġ"'),  # continuation bytes 0x80..0x9F
])
def test_paths_and_texts_are_quoted_and_escaped(path, printed):
    assert text(Q.eq(path, 1)).startswith(f"Eq({printed}, PyValue {{")
    assert f"primitave: Str({printed})" in text(Q.eq("a", path))


def test_class():
    assert (Q.__module__, Q.__name__, Q.__doc__) == ("Veldrake", "PyQueryExpr", "")
    with pytest.raises(AttributeError):
        Q.eq("a", 1).extra = 1
    signatures = {n: "(attr, value)" for n in COMPARISONS}
    signatures.update(bt="(attr, lower, upper)", in_="(attr, values)", not_="(exprs)",
                      and_="(*exprs)", or_="(*exprs)")
    for name, signature in signatures.items():
        assert getattr(Q, name).__text_signature__ == signature, name
