"""Veldrake: the records are ``Indexable`` objects in one ``Index``."""

import statistics
import time
from operator import attrgetter

from .base import System

SCORE = attrgetter("score")


def young_view(ns):
    """The view the "age < 30" workloads order: cut once, as a program keeps a view it pages."""
    from Veldrake import PyQueryExpr

    return ns["idx"].reduced_query(PyQueryExpr.lt("age", ns["YOUNG"]))


class VeldrakeSystem(System):
    key = "veldrake"
    label = "Veldrake"
    kind = "indexable"
    note = ("Indexable records (owner an Indexable) in one Index; every attribute is indexed "
            "by the module; queries via get_by_attribute / reduced_query(...).collect(), "
            "the PyQueryExpr built inside the timed statement.")

    def unavailable(self):
        try:
            import Veldrake  # noqa: F401
        except ImportError as exc:
            return f"cannot import Veldrake ({exc}); run through `make bench`"
        return None

    def build(self):
        from Veldrake import Index

        index = Index()
        index.add_object_many(self.objs)
        self.ns["idx"] = index

    def clear(self):
        self.ns.pop("idx", None)

    def statements(self):
        from Veldrake import PyQueryExpr

        self.ns["Q"] = PyQueryExpr
        self.ns["o"] = self.objs[self.ns["UPD_K"]]
        self.ns["young"] = young_view(self.ns)
        # The floor of the 30% range: copying a list of its (scattered) objects.
        self.ns["ANSWER_30"] = self.ns["idx"].reduced_query(
            PyQueryExpr.bt("score", self.ns["R30_LO"], self.ns["R30_HI"])).collect()
        return {
            "empty_eq": "idx.get_by_attribute(city=NOWHERE)",
            "sel_eq": "idx.get_by_attribute(city=RARE)",
            "broad_eq": "idx.get_by_attribute(age=AGE)",
            "range_1": "idx.reduced_query(Q.bt('score', R1_LO, R1_HI)).collect()",
            "range_30": "idx.reduced_query(Q.bt('score', R30_LO, R30_HI)).collect()",
            "copy_30": "list(ANSWER_30)",
            "and_not": ("idx.reduced_query(Q.and_(Q.eq('age', AND_AGE), "
                        "Q.bt('score', AND_LO, AND_HI), Q.not_(Q.eq('active', True)))).collect()"),
            "in_": "idx.reduced_query(Q.in_('city', FIVE)).collect()",
            "dotted": "idx.reduced_query(Q.eq('owner.country', COUNTRY)).collect()",
            "group_by": "{city: view.collect() for city, view in idx.group_by('city').items()}",
            "count_30": "idx.count(Q.bt('score', R30_LO, R30_HI))",
            "top10": "idx.order_by('score', limit=10)",
            "top10_view": "young.order_by('score', limit=10)",
            "write_b": "o.city = UPD_B",
            "write_a": "o.city = UPD_A",
            "query_b": "idx.get_by_attribute(city=UPD_B)",
            "query_a": "idx.get_by_attribute(city=UPD_A)",
        }

    def time_removals(self):
        """remove: the median of single removals of 1,000 records spread over the index (each
        added back afterwards, untimed); clear: one clear of the whole index."""
        from timing import Timing

        index = self.ns["idx"]
        chosen = self.objs[:: max(1, len(self.objs) // 1000)]
        samples = []
        for o in chosen:
            t0 = time.perf_counter()
            index.remove(o)
            samples.append(time.perf_counter() - t0)
        index.add_object_many(chosen)
        t0 = time.perf_counter()
        index.clear()
        cleared = time.perf_counter() - t0
        return {"remove": Timing(statistics.median(samples), samples, 1),
                "clear": Timing(cleared, [cleared], 1)}


class VeldrakeListsSystem(VeldrakeSystem):
    """The same index, answering counts and the first 10 by score through lists of objects."""

    key = "veldrake_lists"
    label = "Veldrake via lists"
    time_removals = None  # measured once, for VeldrakeSystem
    note = ("the Veldrake index, with counts as len(....collect()) and the first 10 by score as "
            "sorted(....collect(), key=score)[:10]: what count and order_by replace.")

    def statements(self):
        from Veldrake import PyQueryExpr

        self.ns.update(Q=PyQueryExpr, SCORE=SCORE)
        self.ns["young"] = young_view(self.ns)
        return {
            "count_30": "len(idx.reduced_query(Q.bt('score', R30_LO, R30_HI)).collect())",
            "top10": "sorted(idx.collect(), key=SCORE)[:10]",
            "top10_view": "sorted(young.collect(), key=SCORE)[:10]",
        }
