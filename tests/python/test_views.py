"""Views, rebase, reduce and union_with beyond what the random driver (test_properties.py) covers."""

import faulthandler
import re
import sys

from Veldrake import Indexable

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
