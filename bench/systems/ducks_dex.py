"""ducks: the plain records in a ``Dex`` on age, score, city, active and the owner's country.

The owner's country is a function attribute (``Dex`` accepts callables); ``tags`` is not
indexed (a ``Dex`` attribute has one value per record, and no workload asks for tags).
A write is ``remove``, ``setattr``, ``add``: what ``Dex`` needs to stay right.
"""

from .base import System


def owner_country(o):
    return o.owner.country


def dex_group_city(dex):
    return {city: dex[{"city": city}] for city in dex.get_values("city")}


def dex_write(dex, o, city):
    dex.remove(o)
    o.city = city
    dex.add(o)


class DucksSystem(System):
    key = "ducks"
    label = "ducks"
    note = ("plain __slots__ records in a ducks.Dex on age, score, city, active and a function "
            "for owner.country (tags not indexed); writes are remove + setattr + add.")

    def unavailable(self):
        try:
            import ducks  # noqa: F401
        except Exception as exc:  # ImportError, or a broken compiled dependency
            return f"ducks not importable ({type(exc).__name__}: {exc})"
        return None

    def build(self):
        from ducks import Dex

        self.ns["dex"] = Dex(self.objs, on=["age", "score", "city", "active", owner_country])

    def clear(self):
        self.ns.pop("dex", None)

    def statements(self):
        self.ns.update(owner_country=owner_country, group_city=dex_group_city, write=dex_write,
                       o=self.objs[self.ns["UPD_K"]])
        return {
            "empty_eq": "dex[{'city': NOWHERE}]",
            "sel_eq": "dex[{'city': RARE}]",
            "broad_eq": "dex[{'age': AGE}]",
            "range_1": "dex[{'score': {'>=': R1_LO, '<=': R1_HI}}]",
            "range_30": "dex[{'score': {'>=': R30_LO, '<=': R30_HI}}]",
            "and_not": ("dex[{'age': AND_AGE, 'score': {'>=': AND_LO, '<=': AND_HI}, "
                        "'active': {'!=': True}}]"),
            "in_": "dex[{'city': {'in': FIVE}}]",
            "dotted": "dex[{owner_country: COUNTRY}]",
            "group_by": "group_city(dex)",
            "write_b": "write(dex, o, UPD_B)",
            "write_a": "write(dex, o, UPD_A)",
            "query_b": "dex[{'city': UPD_B}]",
            "query_a": "dex[{'city': UPD_A}]",
        }
