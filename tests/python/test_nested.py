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


def test_writes_on_nested_objects_are_seen_through_dotted_paths():
    owner = Indexable(country="fr", address=Indexable(city="Lyon"))
    holder = Indexable(owner=owner)
    index = Index()
    index.add_object(holder)
    owner.country = "de"
    owner.address.city = "Paris"
    assert holders(index, "owner.country", "de") == [holder]
    assert holders(index, "owner.country", "fr") == []
    assert holders(index, "owner.address.city", "Paris") == [holder]
    assert holders(index, "owner.address.city", "Lyon") == []


def test_nested_objects_inside_lists():
    a, b = Indexable(tag="a"), Indexable(tag="b")
    holder = Indexable(items=[a, (b,)])
    index = Index()
    index.add_object(holder)
    assert holders(index, "items.tag", "b") == [holder]
    holder.items = [a]
    assert holders(index, "items.tag", "b") == []
    assert holders(index, "items.tag", "a") == [holder]


def test_object_holding_itself_is_indexed_as_a_value():
    obj = Indexable(name="self")
    obj.me = obj
    index = Index()
    index.add_object(obj)
    assert index.get_by_attribute(me=obj) == [obj]
    assert holders(index, "me.name", "self") == []
    obj.me = None
    assert index.get_by_attribute(me=obj) == []


def test_objects_holding_each_other():
    a, b = Indexable(name="a"), Indexable(name="b")
    a.x = b
    b.y = a
    index = Index()
    index.add_object(a)
    assert holders(index, "x.name", "b") == [a]
    assert holders(index, "x.y", a) == [a]
    # a is b's holder, so it is not registered again below b
    assert holders(index, "x.y.name", "a") == []
    b.y = None
    a.x = None
    assert holders(index, "x.name", "b") == []


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
