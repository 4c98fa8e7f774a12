"""The baseline: a Python list of the records, scanned with a comprehension per query."""

import heapq
from operator import attrgetter

from .base import System


def group_city(objs):
    groups = {}
    for o in objs:
        groups.setdefault(o.city, []).append(o)
    return groups


class ListScanSystem(System):
    key = "list_scan"
    label = "list scan"
    note = ("plain __slots__ records in a list; [o for o in objs if ...]; its 'update' is a "
            "plain attribute write, the floor for any live update.")

    def build(self):
        self.ns["items"] = list(self.objs)

    def clear(self):
        self.ns.pop("items", None)

    def statements(self):
        self.ns.update(group_city=group_city, nsmallest=heapq.nsmallest, SCORE=attrgetter("score"))
        self.ns["o"] = self.objs[self.ns["UPD_K"]]
        return {
            "empty_eq": "[o for o in items if o.city == NOWHERE]",
            "sel_eq": "[o for o in items if o.city == RARE]",
            "broad_eq": "[o for o in items if o.age == AGE]",
            "range_1": "[o for o in items if R1_LO <= o.score <= R1_HI]",
            "range_30": "[o for o in items if R30_LO <= o.score <= R30_HI]",
            "and_not": ("[o for o in items if o.age == AND_AGE and AND_LO <= o.score <= AND_HI "
                        "and not o.active]"),
            "in_": "[o for o in items if o.city in FIVE_SET]",
            "dotted": "[o for o in items if o.owner.country == COUNTRY]",
            "group_by": "group_city(items)",
            "count_30": "sum(1 for o in items if R30_LO <= o.score <= R30_HI)",
            "top10": "nsmallest(10, items, key=SCORE)",
            "top10_view": "nsmallest(10, (o for o in items if o.age < YOUNG), key=SCORE)",
            "write_b": "o.city = UPD_B",
            "write_a": "o.city = UPD_A",
            "query_b": "[o for o in items if o.city == UPD_B]",
            "query_a": "[o for o in items if o.city == UPD_A]",
        }
