"""Queries that can travel to the workers: `Veldrake.PyQueryExpr` does not pickle, so a query
for a partitioned index is written with `Q`, which records the same constructors and builds the
real expression where it runs."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from Veldrake import PyQueryExpr


class Q:
    """A query as `PyQueryExpr` builds it (same constructors, `&`, `|` and `~`), picklable."""

    __slots__ = ("op", "args")

    def __init__(self, op: str, args: tuple[Any, ...]) -> None:
        self.op = op
        self.args = args

    def __reduce__(self) -> tuple[Any, ...]:
        return (Q, (self.op, self.args))

    def __repr__(self) -> str:
        return f"Q.{self.op}{self.args!r}"

    def build(self) -> PyQueryExpr:
        """The `PyQueryExpr` this query stands for."""
        args = [a.build() if isinstance(a, Q) else a for a in self.args]
        return getattr(PyQueryExpr, self.op)(*args)

    @staticmethod
    def eq(attr: str, value: Any) -> Q:
        return Q("eq", (attr, value))

    @staticmethod
    def ne(attr: str, value: Any) -> Q:
        return Q("ne", (attr, value))

    @staticmethod
    def gt(attr: str, value: Any) -> Q:
        return Q("gt", (attr, value))

    @staticmethod
    def ge(attr: str, value: Any) -> Q:
        return Q("ge", (attr, value))

    @staticmethod
    def lt(attr: str, value: Any) -> Q:
        return Q("lt", (attr, value))

    @staticmethod
    def le(attr: str, value: Any) -> Q:
        return Q("le", (attr, value))

    @staticmethod
    def bt(attr: str, lower: Any, upper: Any) -> Q:
        return Q("bt", (attr, lower, upper))

    @staticmethod
    def in_(attr: str, values: Iterable[Any]) -> Q:
        return Q("in_", (attr, list(values)))

    @staticmethod
    def and_(*queries: Q) -> Q:
        return Q("and_", queries)

    @staticmethod
    def or_(*queries: Q) -> Q:
        return Q("or_", queries)

    @staticmethod
    def not_(query: Q) -> Q:
        return Q("not_", (query,))

    def __and__(self, other: Q) -> Q:
        return Q.and_(self, other)

    def __or__(self, other: Q) -> Q:
        return Q.or_(self, other)

    def __invert__(self) -> Q:
        return Q.not_(self)
