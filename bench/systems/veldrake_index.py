"""Veldrake: the records are ``Indexable`` objects in one ``Index``."""

from .base import System


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
        return {
            "sel_eq": "idx.get_by_attribute(city=RARE)",
            "broad_eq": "idx.get_by_attribute(age=AGE)",
            "range_1": "idx.reduced_query(Q.bt('score', R1_LO, R1_HI)).collect()",
            "range_30": "idx.reduced_query(Q.bt('score', R30_LO, R30_HI)).collect()",
            "and_not": ("idx.reduced_query(Q.and_(Q.eq('age', AND_AGE), "
                        "Q.bt('score', AND_LO, AND_HI), Q.not_(Q.eq('active', True)))).collect()"),
            "in_": "idx.reduced_query(Q.in_('city', FIVE)).collect()",
            "dotted": "idx.reduced_query(Q.eq('owner.country', COUNTRY)).collect()",
            "group_by": "{city: view.collect() for city, view in idx.group_by('city').items()}",
            "write_b": "o.city = UPD_B",
            "write_a": "o.city = UPD_A",
            "query_b": "idx.get_by_attribute(city=UPD_B)",
            "query_a": "idx.get_by_attribute(city=UPD_A)",
        }
