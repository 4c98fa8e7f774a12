"""What every system is asked, and the right answers.

Each system answers a query workload with one Python statement (see ``systems/``), evaluated
in the system's namespace, which also holds the constants below (``RARE``, ``AGE``, ...).
The answer is always a Python list of the original objects (for ``group_by`` a dict from
city to such a list).

``update`` writes ``city`` of one record held by the system (to ``UPD_B`` and back to
``UPD_A``, timed per write); ``update_query`` is such a write followed by the next query
(``city == new value``), again timed per write + query.
"""

from dataclasses import dataclass

import datagen


@dataclass(frozen=True)
class Workload:
    key: str
    title: str
    what: str


QUERY_WORKLOADS = [
    Workload("empty_eq", "empty eq (fixed cost)", "city == NOWHERE, a city no record has"),
    Workload("sel_eq", "selective eq", "city == RARE (10 hits at every N)"),
    Workload("broad_eq", "broad eq (1%)", "age == 42"),
    Workload("range_1", "range 1%", "50.0 <= score <= 51.0"),
    Workload("range_30", "range 30%", "20.0 <= score <= 50.0"),
    Workload("copy_30", "copy of the 30% answer", "list(the range 30% answer): the floor of any "
             "query handing out those objects"),
    Workload("and_not", "and_(eq, range, not_)",
             "age == 42 and 25 <= score <= 75 and not (active == True)"),
    Workload("in_", "in_ (5 cities)", "city in 5 cities"),
    Workload("dotted", "dotted owner.country", "owner.country == 'country-07'"),
    Workload("group_by", "group_by city", "dict city -> list of its records"),
    Workload("count_30", "count of range 30%", "how many records have 20.0 <= score <= 50.0"),
    Workload("top10", "10 lowest scores", "the records ordered by score, first 10"),
    Workload("top10_view", "10 lowest scores, age < 30",
             "the same among the 30% of records with age < 30"),
]
UPDATE_WORKLOADS = [
    Workload("update", "live update (1 write)", "record.city = other city, indexes kept right"),
    Workload("update_query", "write + next query", "the write, then city == new value"),
]
# Systems that take records out of their structure; clear runs last, after the other workloads.
REMOVAL_WORKLOADS = [
    Workload("remove", "remove 1 record", "take one record (6 attributes) out"),
    Workload("clear", "clear all N", "take every record out"),
]
BUILD = Workload("build", "build", "add all N records")
TIMED_WORKLOADS = [BUILD] + QUERY_WORKLOADS + UPDATE_WORKLOADS + REMOVAL_WORKLOADS
# Answers compared in order, not as sets.
ORDERED_WORKLOADS = {"top10", "top10_view"}
MEMORY_ROWS = [
    Workload("mem_rss", "memory B/record (RSS)", "resident-set growth of building, per record"),
    Workload("mem_py", "memory B/record (tracemalloc)",
             "Python-heap growth of building, per record (C/C++ allocations not seen)"),
]


def parameters(cols):
    """The constants the statements use, chosen from the data ``cols``."""
    five = datagen.CITIES[1:6]
    upd_b = datagen.CITIES[-1]
    # The record that the update workloads write: the first whose city is neither the rare
    # city nor the one it is moved to.
    upd_k = next(k for k, c in enumerate(cols.city) if c not in (datagen.RARE_CITY, upd_b))
    return {
        "RARE": datagen.RARE_CITY, "NOWHERE": "city-none",
        "AGE": 42,
        "R1_LO": 50.0, "R1_HI": 51.0,
        "R30_LO": 20.0, "R30_HI": 50.0, "YOUNG": 30,
        "AND_AGE": 42, "AND_LO": 25.0, "AND_HI": 75.0,
        "FIVE": list(five), "FIVE_SET": frozenset(five),
        "COUNTRY": datagen.COUNTRIES[7],
        "UPD_K": upd_k, "UPD_A": cols.city[upd_k], "UPD_B": upd_b,
    }


def reference_answers(plain_objs, params):
    """The right answers, by list scan over the plain records, as sets of record positions."""
    p = params
    objs = plain_objs
    pos = range(len(objs))

    def where(pred):
        return frozenset(k for k in pos if pred(objs[k]))

    def first_by_score(ks):
        return tuple(sorted(ks, key=lambda k: objs[k].score)[:10])

    groups = {}
    for k, o in enumerate(objs):
        groups.setdefault(o.city, set()).add(k)
    return {
        "empty_eq": frozenset(),
        "sel_eq": where(lambda o: o.city == p["RARE"]),
        "broad_eq": where(lambda o: o.age == p["AGE"]),
        "range_1": where(lambda o: p["R1_LO"] <= o.score <= p["R1_HI"]),
        "range_30": where(lambda o: p["R30_LO"] <= o.score <= p["R30_HI"]),
        "copy_30": where(lambda o: p["R30_LO"] <= o.score <= p["R30_HI"]),
        "and_not": where(lambda o: o.age == p["AND_AGE"] and p["AND_LO"] <= o.score <= p["AND_HI"]
                         and not o.active),
        "in_": where(lambda o: o.city in p["FIVE_SET"]),
        "dotted": where(lambda o: o.owner.country == p["COUNTRY"]),
        "group_by": {c: frozenset(ks) for c, ks in groups.items()},
        "count_30": sum(1 for o in objs if p["R30_LO"] <= o.score <= p["R30_HI"]),
        "top10": first_by_score(pos),
        "top10_view": first_by_score(k for k in pos if objs[k].age < p["YOUNG"]),
        "city_a": where(lambda o: o.city == p["UPD_A"]),
        "city_b": where(lambda o: o.city == p["UPD_B"]),
    }
