"""Python conventions: operators on queries, pickle and copy, weak references, subclass __init__,
dataclasses."""

import copy
import dataclasses
import gc
import pickle
import sys
import weakref

import pytest
from Veldrake import Index, Indexable, PyQueryExpr as Q

import reference_model as model


class Product(Indexable):
    def __init__(self, name, **attributes):
        super().__init__(**attributes)
        self.name = name.upper()


# dataclass(slots=True) needs Python 3.10 (the PyPy run is 3.9): there the fields are plain ones.
@dataclasses.dataclass(**({"slots": True} if sys.version_info >= (3, 10) else {}))
class Slotted(Indexable):
    x: int
    label: str = "a"


@dataclasses.dataclass
class Plain(Indexable):
    x: int

    @property
    def double(self):
        return self.x * 2


def test_query_operators_mean_and_or_not():
    index = model.indexed([Indexable(a=i % 3, b=i % 2) for i in range(12)])
    a, b = Q.eq("a", 1), Q.eq("b", 0)
    for expr, same_as in [(a & b, Q.and_(a, b)), (a | ~b, Q.or_(a, Q.not_(b))),
                          (~(a & b) & a, Q.and_(Q.not_(Q.and_(a, b)), a))]:
        assert index.reduced_query(expr).collect() == index.reduced_query(same_as).collect() != []
    with pytest.raises(TypeError):
        a & 1


@pytest.mark.parametrize(
    "duplicate",
    [lambda o: pickle.loads(pickle.dumps(o)), copy.deepcopy, copy.copy],
    ids=["pickle", "deepcopy", "copy"],
)
def test_copies_keep_every_attribute_and_join_no_index(duplicate):
    kid = Indexable(name="kid")
    original = Product("p", price=3.5, tags=["x", 1], kid=kid)
    original.me = original
    index = model.indexed([original])
    twin = duplicate(original)
    assert type(twin) is Product and twin is not original and twin not in index
    assert (twin.name, twin.price, twin.tags, twin.kid.name) == ("P", 3.5, ["x", 1], "kid")
    deep = duplicate is not copy.copy
    assert (twin.me is twin) if deep else (twin.me is original)
    assert (twin.kid is not kid) == deep
    twin.price = 99
    assert index.count(price=99) == 0 and original.price == 3.5


def test_pickled_index_answers_the_same_queries():
    objs = [Indexable(n=i, kind="ab"[i % 2], kid=Indexable(v=i % 3)) for i in range(50)]
    index = model.indexed(objs)
    again = pickle.loads(pickle.dumps(index))
    assert len(again) == 50 and not any(o in again for o in objs)
    for query in (Q.gt("n", 20), Q.eq("kid.v", 1), Q.eq("kind", "a") & Q.lt("n", 9)):
        # The copies get ids of their own, so the two lists may come in different orders.
        assert sorted(o.n for o in again.reduced_query(query).collect()) == sorted(
            o.n for o in index.reduced_query(query).collect()
        )
    view = index.reduced(kind="a")
    with pytest.raises(TypeError, match="rebase"):
        pickle.dumps(view)
    assert len(pickle.loads(pickle.dumps(view.rebase()))) == 25


@pytest.mark.parametrize("make", [Indexable, lambda: Product("x"), lambda: Slotted(1)])
def test_weak_references(make):
    obj = make()
    ref = weakref.ref(obj)
    assert ref() is obj
    del obj
    gc.collect()  # PyPy frees objects only when its collector runs
    assert ref() is None


def test_dataclasses_store_and_index_their_fields():
    index = Index()
    slotted, plain = Slotted(3), Plain(4)
    index.add_object_many([slotted, plain])
    assert index.get_by_attribute(x=3) == [slotted] and index.get_by_attribute(label="a") == [slotted]
    slotted.x = 7
    assert index.get_by_attribute(x=7) == [slotted] and slotted == Slotted(7)
    assert pickle.loads(pickle.dumps(slotted)) == slotted == copy.deepcopy(slotted)
    assert plain.double == 8 and index.count(x=4) == 1
    assert copy.deepcopy(plain) == plain and copy.deepcopy(plain) is not plain

    @dataclasses.dataclass(frozen=True)
    class Frozen(Indexable):
        x: int

    with pytest.raises(TypeError, match="frozen"):
        Frozen(1)
