"""A hand-written index in plain Python, the kind users write themselves.

For each attribute a dict value -> set of records (list attributes by element, the owner's
country flattened into ``owner_country``), and for the numeric ``score`` a list of records
sorted by score with a parallel list of keys, searched with ``bisect``. A write goes through
``set_attr``, which moves the record between sets (or re-inserts it in the sorted lists).
"""

from bisect import bisect_left, bisect_right
from operator import attrgetter

from .base import System

SET_ATTRS = ("age", "city", "active", "tags", "owner_country")


def _value(o, attr):
    return o.owner.country if attr == "owner_country" else getattr(o, attr)


def _keys(value):
    return value if isinstance(value, (list, tuple, set)) else (value,)


class DictOfSetsIndex:
    def __init__(self, objs):
        self.by = {attr: {} for attr in SET_ATTRS}
        for attr, table in self.by.items():
            if attr == "owner_country":
                for o in objs:
                    table.setdefault(o.owner.country, set()).add(o)
            elif attr == "tags":
                for o in objs:
                    for t in o.tags:
                        table.setdefault(t, set()).add(o)
            else:
                get = attrgetter(attr)
                for o in objs:
                    table.setdefault(get(o), set()).add(o)
        self.score_objs = sorted(objs, key=attrgetter("score"))
        self.score_keys = [o.score for o in self.score_objs]

    def set_attr(self, o, attr, value):
        """``setattr(o, attr, value)``, keeping the index right."""
        if attr == "score":
            i = bisect_left(self.score_keys, o.score)
            while self.score_objs[i] is not o:
                i += 1
            del self.score_keys[i], self.score_objs[i]
            o.score = value
            i = bisect_right(self.score_keys, value)
            self.score_keys.insert(i, value)
            self.score_objs.insert(i, o)
            return
        table = self.by.get(attr)
        if table is not None:
            for key in _keys(getattr(o, attr)):
                members = table[key]
                members.discard(o)
                if not members:
                    del table[key]
        setattr(o, attr, value)
        if table is not None:
            for key in _keys(value):
                table.setdefault(key, set()).add(o)


class DictOfSetsSystem(System):
    key = "dict_sets"
    label = "dict-of-sets"
    note = ("plain __slots__ records; dict value -> set per attribute (age, city, active, tags "
            "by element, owner.country flattened) + score sorted with bisect; writes move the "
            "record between sets.")

    def build(self):
        self.ns["ix"] = DictOfSetsIndex(self.objs)

    def clear(self):
        self.ns.pop("ix", None)

    def statements(self):
        ix = self.ns["ix"]
        ns = self.ns
        ns.update(
            by_age=ix.by["age"], by_city=ix.by["city"], by_active=ix.by["active"],
            by_country=ix.by["owner_country"], score_keys=ix.score_keys,
            score_objs=ix.score_objs, bisect_left=bisect_left, bisect_right=bisect_right,
            EMPTY=frozenset(), o=self.objs[ns["UPD_K"]], set_attr=ix.set_attr,
        )
        return {
            "empty_eq": "list(by_city.get(NOWHERE, EMPTY))",
            "sel_eq": "list(by_city.get(RARE, EMPTY))",
            "broad_eq": "list(by_age.get(AGE, EMPTY))",
            "range_1": "score_objs[bisect_left(score_keys, R1_LO):bisect_right(score_keys, R1_HI)]",
            "range_30": ("score_objs[bisect_left(score_keys, R30_LO):"
                         "bisect_right(score_keys, R30_HI)]"),
            "and_not": ("[o for o in by_age.get(AND_AGE, EMPTY) - by_active.get(True, EMPTY) "
                        "if AND_LO <= o.score <= AND_HI]"),
            "in_": "[o for city in FIVE for o in by_city.get(city, EMPTY)]",
            "dotted": "list(by_country.get(COUNTRY, EMPTY))",
            "group_by": "{city: list(members) for city, members in by_city.items()}",
            "write_b": "set_attr(o, 'city', UPD_B)",
            "write_a": "set_attr(o, 'city', UPD_A)",
            "query_b": "list(by_city.get(UPD_B, EMPTY))",
            "query_a": "list(by_city.get(UPD_A, EMPTY))",
        }

