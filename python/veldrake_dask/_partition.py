"""The state one Dask actor keeps on a worker: an `Index` over one partition's objects."""

from __future__ import annotations

from typing import Any

from Veldrake import Index, Indexable

from ._keys import rank, tie_order
from ._query import Q

# What `first` returns per object: its rank, its key's tie order, the object.
Entry = tuple[tuple[int, Any], tuple[int, Any], Indexable]


class Partition:
    """One partition's objects in an `Index`; every method runs on the worker holding it."""

    def __init__(self, number: int, key: str) -> None:
        self.number = number
        self.key = key
        self.index = Index()

    def ping(self) -> int:
        """The partition's number: proves the actor is alive and is the one expected."""
        return self.number

    def add_many(self, objects: list[Indexable]) -> int:
        """Adds `objects`; the partition's size afterwards."""
        self.index.add_object_many(objects)
        return len(self.index)

    def _matching(self, query: Q | None, keywords: dict[str, Any]) -> Any:
        """The index, or a view of the members matching `query` and `keywords`."""
        selection: Any = self.index
        if query is not None:
            selection = selection.reduced_query(query.build())
        return selection.reduced(**keywords) if keywords else selection

    def count(self, query: Q | None, keywords: dict[str, Any]) -> int:
        """How many members match `query` and `keywords` (every member when both are empty)."""
        if query is None:
            return self.index.count(**keywords)
        if not keywords:
            return self.index.count(query.build())
        return self._matching(query, keywords).count()

    def group_counts(self, attr: str) -> dict[Any, int]:
        """The size of each group `group_by(attr)` would make."""
        return self.index.group_counts(attr)

    def collect(self, query: Q | None, keywords: dict[str, Any]) -> list[Indexable]:
        """The members matching `query` and `keywords`."""
        return self._matching(query, keywords).collect()

    def first(self, attr: str, count: int | None, descending: bool) -> list[Entry]:
        """The first `count` members (all when None) by their value at `attr`, equal values in
        the order of their keys, each with its sort key for the client's merge.

        The index lists equal values by object id, which means nothing across processes, so a
        run of equal values cut by `count` is read whole and cut here by key instead.
        """
        page = self._ordered(attr, count, descending)
        entries = [(rank(o, attr, descending), tie_order(getattr(o, self.key)), o) for o in page]
        entries.sort(key=lambda entry: (entry[0], entry[1]))  # never compares the objects
        return entries if count is None else entries[:count]

    def _ordered(self, attr: str, count: int | None, descending: bool) -> list[Indexable]:
        """A prefix of the index's order holding the first `count` members and every member
        whose value equals that of the last of them."""
        if count is None or count == 0:
            return self.index.order_by(attr, descending=descending, limit=count)
        size = count + 1
        while True:
            page = self.index.order_by(attr, descending=descending, limit=size)
            if len(page) < size:
                return page
            if rank(page[-1], attr, descending) != rank(page[count - 1], attr, descending):
                return page
            size *= 2

    def update(self, key_value: Any, attributes: dict[str, Any]) -> int:
        """Writes `attributes` on every member whose key is `key_value`; how many there were."""
        holders = self.index.get_by_attribute(**{self.key: key_value})
        for holder in holders:
            for name, value in attributes.items():
                setattr(holder, name, value)
        return len(holders)
