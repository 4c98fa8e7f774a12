"""Views, rebase, reduce and union_with beyond what the random driver (test_properties.py) covers."""

import faulthandler
import re
import sys

from Veldrake import Indexable, PyQueryExpr

from reference_model import indexed, same


def test_union_with_itself_changes_nothing_and_with_another_reports_shared_attributes(capfd):
    a = indexed([Indexable(name="x", n=1), Indexable(name="y", n=2.5)])
    objs = a.collect()
    faulthandler.dump_traceback_later(60, exit=True, file=sys.stderr)  # a self-deadlock
    try:
        assert a.union_with(a) is None
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert same(a.collect(), objs)
    capfd.readouterr()
    a.union_with(indexed([Indexable(name="z", other=1), Indexable(n=3, more=2)]))
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == 2 and all(re.fullmatch(r"Merging attribute with 0x[0-9a-f]+ and 0x[0-9a-f]+", line)
                                   for line in lines), lines


def test_a_view_collects_what_is_left_of_it_in_id_order_across_many_blocks():
    # Ids are listed a block at a time: the members still shown must close up across blocks,
    # departed ones and newcomers on their ids left out, whichever way the list is filled.
    objs = [Indexable(n=i) for i in range(1500)]
    index = indexed(objs)
    query = PyQueryExpr.ge("n", 0)
    view = index.reduced_query(query)
    untouched = view.collect()
    assert same(untouched, objs) and untouched == index.reduced_query(query).collect()
    gone = objs[3::7] + objs[300:700]
    index.remove_many(gone)
    index.add_object_many([Indexable(n=-1) for _ in range(500)])  # may take the freed ids
    left = view.collect()
    assert left == index.reduced_query(query).collect()
    assert same(left, set(objs) - set(gone)) and len(left) == len(objs) - len(set(gone))
