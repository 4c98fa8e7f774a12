"""Veldrake indexes spread over the workers of a Dask cluster.

`PartitionedIndex(client, partitions, key=...)` keeps one `Veldrake.Index` per partition, each
inside a Dask actor on one of the cluster's workers. Objects are routed to a partition by a
stable hash of their `key` attribute; queries run on every partition at once and only numbers
and the objects asked for come back. Dask moves the objects (pickled) and keeps the actors.
"""

from __future__ import annotations

import heapq
import itertools
from collections.abc import Iterable, Sequence
from typing import Any

from distributed import Client, Future
from Veldrake import Indexable

from ._keys import partition_of, tie_order
from ._partition import Partition
from ._query import Q

__all__ = ["PartitionLost", "PartitionedIndex", "Q"]


class PartitionLost(RuntimeError):
    """A partition's actor is gone (its worker died or was restarted) with its objects.

    The partitioned index answers nothing once it has lost a partition: a count or a page
    from the remaining ones would be wrong without saying so.
    """

    def __init__(self, partitions: Sequence[int], workers: Sequence[str]) -> None:
        self.partitions = list(partitions)
        self.workers = list(workers)
        names = ", ".join(f"{p} (on {w})" for p, w in zip(self.partitions, self.workers))
        super().__init__(f"partition lost: {names}; its objects are gone with its worker")


class PartitionedIndex:
    """Objects spread over `partitions` indexes on the workers of `client`'s cluster.

    Every object needs the attribute `key` (a str, bytes, int, float or bool, meant to be
    unique); it decides the partition, and `update` finds the object by it. Objects are
    pickled to the workers, so the cluster holds copies: write through `update`, not on the
    local objects. The partitions are placed round-robin over the workers present now.
    Queries are written with `Q`. Once a partition's worker has died, every call raises
    `PartitionLost`.
    """

    def __init__(self, client: Client, partitions: int, *, key: str, batch_size: int = 10_000):
        if partitions < 1:
            raise ValueError("a partitioned index needs at least one partition")
        if batch_size < 1:
            raise ValueError("batch_size must be positive")
        workers = sorted(client.scheduler_info()["workers"])
        if not workers:
            raise ValueError("the cluster has no workers")
        self.key = key
        self.batch_size = batch_size
        self._futures: list[Future] = [
            client.submit(Partition, number, key, actor=True, pure=False,
                          workers=[workers[number % len(workers)]], allow_other_workers=False)
            for number in range(partitions)
        ]
        self._actors = [future.result() for future in self._futures]

    @property
    def partitions(self) -> int:
        """The number of partitions."""
        return len(self._actors)

    def _on_all(self, method: str, *args: Any) -> list[Any]:
        """Calls `method` on every partition at once; their answers in partition order."""
        return self._gather([(number, method, args) for number in range(self.partitions)])

    def _gather(self, calls: list[tuple[int, str, tuple[Any, ...]]]) -> list[Any]:
        """Runs `(partition, method, args)` calls concurrently; their answers in order.

        Raises PartitionLost, naming every partition found lost, before any answer is used.
        """
        self._check_open()
        self._check_alive()
        pending = [getattr(self._actors[number], method)(*args) for number, method, args in calls]
        answers, lost = [], set()
        for (number, _, _), call in zip(calls, pending):
            try:
                answers.append(call.result())
            except OSError:  # the worker could not be reached, or went away during the call
                lost.add(number)
        lost.update(self._lost())
        if lost:
            raise self._lost_error(sorted(lost))
        return answers

    def _lost(self) -> list[int]:
        """The partitions whose actor Dask reports gone."""
        return [n for n, future in enumerate(self._futures) if future.status not in ("finished", "pending")]

    def _check_open(self) -> None:
        if not self._actors:
            raise RuntimeError("the partitioned index is closed")

    def _check_alive(self) -> None:
        lost = self._lost()
        if lost:
            raise self._lost_error(lost)

    def _lost_error(self, partitions: list[int]) -> PartitionLost:
        return PartitionLost(partitions, [self._actors[n]._address for n in partitions])

    def add_many(self, objects: Iterable[Indexable]) -> None:
        """Adds `objects`, each to the partition its key hashes to, in batches of `batch_size`.

        Every key is checked before anything is sent: a missing or unusable key raises and adds
        nothing. Objects that share nested objects keep sharing them only within one batch.
        """
        self._check_open()
        routed: list[list[Indexable]] = [[] for _ in range(self.partitions)]
        for obj in objects:
            if not isinstance(obj, Indexable):
                raise TypeError(f"a partitioned index holds Indexable objects, not {type(obj).__name__}")
            routed[partition_of(self._key_of(obj), self.partitions)].append(obj)
        batches = [[(n, objs[i:i + self.batch_size]) for i in range(0, len(objs), self.batch_size)]
                   for n, objs in enumerate(routed)]
        # One batch per partition in flight at a time keeps the client's memory at one round.
        for round_ in itertools.zip_longest(*batches):
            self._gather([(n, "add_many", (batch,)) for n, batch in filter(None, round_)])

    def _key_of(self, obj: Indexable) -> Any:
        try:
            return getattr(obj, self.key)
        except AttributeError:
            raise AttributeError(f"an object added to a partitioned index needs its key "
                                 f"attribute {self.key!r}: {obj!r}") from None

    def __len__(self) -> int:
        return self.count()

    def count(self, query: Q | None = None, /, **keywords: Any) -> int:
        """How many objects match `query` and the keywords (as `Index.count`): every member
        when both are absent. Only the partitions' counts travel."""
        return sum(self._on_all("count", _portable(query), keywords))

    def group_counts(self, attr: str) -> dict[Any, int]:
        """The number of objects holding each value of `attr`, as `Index.group_counts`."""
        total: dict[Any, int] = {}
        for counts in self._on_all("group_counts", attr):
            for value, count in counts.items():
                total[value] = total.get(value, 0) + count
        return total

    def order_by(self, attr: str, /, *, descending: bool = False, limit: int | None = None,
                 offset: int = 0) -> list[Indexable]:
        """The objects by the number `attr` holds, as `Index.order_by`, paged by `offset` and
        `limit`; objects with no number come last in both directions.

        Equal numbers (and the objects with no number) are listed by key: booleans, numbers,
        strings, then bytes, each ascending, so the order is the same on every run. Each
        partition sends only its first `offset + limit` objects.
        """
        if offset < 0 or (limit is not None and limit < 0):
            raise ValueError("offset and limit must not be negative")
        if limit == 0:
            return []
        wanted = None if limit is None else offset + limit
        pages: list[list[Any]] = self._on_all("first", attr, wanted, descending)
        merged = heapq.merge(*pages, key=_merge_key)
        return [obj for _, _, obj in itertools.islice(merged, offset, wanted)]

    def collect(self, query: Q | None = None, /, **keywords: Any) -> list[Indexable]:
        """Copies of the objects matching `query` and the keywords (every member when both are
        absent), in key order. Every matching object travels: narrow first."""
        found = [obj for part in self._on_all("collect", _portable(query), keywords) for obj in part]
        found.sort(key=self._key_order)
        return found

    def _key_order(self, obj: Indexable) -> tuple[int, Any]:
        return tie_order(getattr(obj, self.key))

    def update(self, key_value: Any, /, **attributes: Any) -> int:
        """Writes `attributes` on the objects whose key is `key_value`, on the partition holding
        them, which updates its index before this returns. How many objects were written.

        The key itself cannot be rewritten: the object would stay in the wrong partition.
        """
        if self.key in attributes:
            raise ValueError(f"the key attribute {self.key!r} cannot be updated; "
                             f"add a new object instead")
        self._check_open()
        number = partition_of(key_value, self.partitions)
        return self._gather([(number, "update", (key_value, attributes))])[0]

    def close(self) -> None:
        """Releases the partitions' actors and their objects."""
        for future in self._futures:
            future.release()
        self._futures, self._actors = [], []

    def __enter__(self) -> PartitionedIndex:
        return self

    def __exit__(self, *_exc: object) -> None:
        self.close()


def _portable(query: Q | None) -> Q | None:
    """`query`, refused with a pointer to `Q` when it cannot reach the workers."""
    if query is None or isinstance(query, Q):
        return query
    raise TypeError(f"a partitioned index takes queries written with veldrake_dask.Q "
                    f"(they pickle; PyQueryExpr does not), not {type(query).__name__}")


def _merge_key(entry: tuple[Any, Any, Indexable]) -> tuple[Any, Any]:
    """Orders the partitions' entries by rank, then key, never by the objects themselves."""
    return entry[0], entry[1]
