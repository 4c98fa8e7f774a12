"""The benchmark's data: N records, made once from a fixed seed and built two ways.

Every system answers questions about the same N records:

* ``age``     int, uniform in 0..99
* ``score``   float, uniform in [0, 100)
* ``city``    str, one of 1,000 names; the first name, ``RARE_CITY``, is held by exactly
              ``RARE_HOLDERS`` records at every N (the "selective equality" value), the other
              999 are uniform
* ``active``  bool, about half True
* ``tags``    list of 3 distinct strings out of 50
* ``owner``   a nested object shared by about 10 records (N/10 owners), holding ``country``,
              one of 50 strings

Veldrake gets ``Indexable`` records whose ``owner`` is an ``Indexable``. Every other system
gets plain Python objects with ``__slots__`` (``Item`` holding an ``Owner``): the objects a user
of those systems would have. Both lists hold the same values in the same order, so position k
names the same record in both, and the records share the same string objects for cities,
countries and tags.
"""

import random
from dataclasses import dataclass

SEED = 20_240_611
N_CITIES = 1000
N_COUNTRIES = 50
N_TAGS = 50
TAGS_PER_RECORD = 3
RARE_HOLDERS = 10

CITIES = [f"city-{i:04d}" for i in range(N_CITIES)]
RARE_CITY = CITIES[0]
COUNTRIES = [f"country-{i:02d}" for i in range(N_COUNTRIES)]
TAGS = [f"tag-{i:02d}" for i in range(N_TAGS)]


class Owner:
    """The nested object of the plain-Python records."""

    __slots__ = ("country",)

    def __init__(self, country):
        self.country = country


class Item:
    """A plain-Python record, as users of sqlite, pandas, ducks or their own dicts have."""

    __slots__ = ("age", "score", "city", "active", "tags", "owner")

    def __init__(self, age, score, city, active, tags, owner):
        self.age = age
        self.score = score
        self.city = city
        self.active = active
        self.tags = tags
        self.owner = owner


@dataclass
class Columns:
    """The records' values, one list per attribute (``owner`` holds owner positions)."""

    n: int
    age: list
    score: list
    city: list
    active: list
    tags: list
    owner: list
    owner_country: list  # one country per owner


def make_columns(n, seed=SEED):
    """The values of ``n`` records, the same for every run with the same seed."""
    rng = random.Random(seed)
    n_owners = max(1, n // 10)
    owner_country = [COUNTRIES[rng.randrange(N_COUNTRIES)] for _ in range(n_owners)]
    common = CITIES[1:]
    city = [common[rng.randrange(len(common))] for _ in range(n)]
    for k in rng.sample(range(n), min(RARE_HOLDERS, n)):
        city[k] = RARE_CITY
    return Columns(
        n=n,
        age=[rng.randrange(100) for _ in range(n)],
        score=[rng.random() * 100.0 for _ in range(n)],
        city=city,
        active=[rng.random() < 0.5 for _ in range(n)],
        tags=[[TAGS[t] for t in rng.sample(range(N_TAGS), TAGS_PER_RECORD)] for _ in range(n)],
        owner=[rng.randrange(n_owners) for _ in range(n)],
        owner_country=owner_country,
    )


def make_plain(cols):
    """The records as ``Item`` objects with ``__slots__``, each owner shared as in the data."""
    owners = [Owner(c) for c in cols.owner_country]
    return [
        Item(a, s, c, act, list(t), owners[w])
        for a, s, c, act, t, w in zip(
            cols.age, cols.score, cols.city, cols.active, cols.tags, cols.owner
        )
    ]


def make_indexables(cols):
    """The records as Veldrake ``Indexable`` objects, with ``Indexable`` owners."""
    from Veldrake import Indexable

    owners = [Indexable(country=c) for c in cols.owner_country]
    return [
        Indexable(age=a, score=s, city=c, active=act, tags=list(t), owner=owners[w])
        for a, s, c, act, t, w in zip(
            cols.age, cols.score, cols.city, cols.active, cols.tags, cols.owner
        )
    ]


def make_objects(cols, kind):
    """The records of ``kind`` ("indexable" or "plain")."""
    return make_indexables(cols) if kind == "indexable" else make_plain(cols)
