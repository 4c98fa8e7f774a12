"""Indexable values: nested indexes, dotted paths and graphs of objects holding each other."""

from Veldrake import Index, Indexable, PyQueryExpr as Q

from reference_model import same


def holders(index, path, value):
    return index.reduced_query(Q.eq(path, value)).collect()


def test_one_nested_object_shared_by_two_holders():
    owner = Indexable(country="fr")
    first, second = Indexable(owner=owner), Indexable(owner=owner)
    index = Index()
    index.add_object_many([first, second])
    assert same(holders(index, "owner.country", "fr"), [first, second])
    assert same(index.get_by_attribute(owner=owner), [first, second])

    first.owner = Indexable(country="de")
    assert holders(index, "owner.country", "fr") == [second]
    assert holders(index, "owner.country", "de") == [first]

    second.owner = None
    assert holders(index, "owner.country", "fr") == []
    owner.country = "es"  # no longer held by a member: nothing may point at it
    assert holders(index, "owner.country", "es") == []


def test_objects_holding_themselves_or_each_other():
    a, b = Indexable(name="a"), Indexable(name="b")
    a.me, a.x, b.y = a, b, a
    index = Index()
    index.add_object(a)
    assert index.get_by_attribute(me=a) == [a]
    assert holders(index, "x.name", "b") == [a]
    assert holders(index, "x.y", a) == [a]
    # a is its own and b's holder, so it is not registered again below itself or b
    assert holders(index, "me.name", "a") == [] and holders(index, "x.y.name", "a") == []
    a.me = b.y = a.x = None
    assert index.get_by_attribute(me=a) == [] and holders(index, "x.name", "b") == []


def test_registration_ends_for_cycles_of_every_length():
    ring = [Indexable(n=i) for i in range(50)]
    for here, there in zip(ring, ring[1:] + ring[:1]):
        here.next = there
    index = Index()
    index.add_object_many(ring)
    assert holders(index, "next.n", 0) == [ring[-1]]
    assert holders(index, "next.next.next.n", 3) == [ring[0]]
    ring[0].next = ring[25]
    assert same(holders(index, "next.n", 25), [ring[0], ring[24]])


def test_dense_graph_of_mutual_holders_registers_and_updates():
    objs = [Indexable(n=i) for i in range(6)]
    for obj in objs:
        obj.friends = [other for other in objs if other is not obj]
    index = Index()
    index.add_object_many(objs)
    assert len(holders(index, "friends.n", 0)) == 5
    objs[0].n = 100
    assert len(holders(index, "friends.n", 100)) == 5
    assert holders(index, "friends.n", 0) == []
