"""In-memory indexes over Python objects, queried by attribute values.

Put `Indexable` objects into an `Index` and ask for them by attribute value; every attribute
write updates the indexes holding the object before it returns.
"""

from collections.abc import Iterable, Iterator
from typing import Any, NoReturn, SupportsIndex, final

from typing_extensions import disjoint_base

__version__: str
"""The version of the package."""

def sum_as_string(a: int, b: int) -> str:
    """Formats the sum of two numbers as string.

    Both numbers must be in 0..2**32-1; the sum wraps around at 2**32.
    """

@disjoint_base
class Indexable:
    """An object whose attributes are stored by the module and indexed.

    `Indexable(**attrs)` sets the given attributes. Subclass it freely. Attributes cannot be
    deleted. Writing an attribute of an object held by indexes updates them before it returns.
    """

    def __new__(cls, *_args: Any, **kwargs: Any) -> Indexable:
        """Makes an object with the attributes `kwargs`; positional arguments are ignored."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        """Stores the attributes `kwargs` when a subclass passes them on through
        `super().__init__(**kwargs)`; positional arguments are ignored."""

    def __getattribute__(self, name: str, /) -> Any:
        """The stored attribute `name`; AttributeError when there is none."""

    def __setattr__(self, name: str, value: Any, /) -> None:
        """Stores `value` as attribute `name` and updates every index holding the object.

        Out of memory, raises MemoryError: the object and every index keep the old value.
        """

    def __dir__(self) -> list[str]:
        """The stored attribute names, then those object.__dir__ gives."""

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]:
        """For pickle and copy: a new object of the same class with the stored attributes."""

    def __setstate__(self, state: dict[str, Any], /) -> None:
        """Stores the attributes of the dict `state`."""

@final
class Index:
    """A set of `Indexable` objects, indexed by every attribute they hold."""

    def __new__(cls) -> Index:
        """An empty index."""

    def add_object(self, py_ref: Indexable) -> None:
        """Adds `py_ref`; adding an object the index holds changes nothing.

        Out of memory, raises MemoryError and leaves the index as it was.
        """

    def add_object_many(self, objs: list[Indexable] | tuple[Indexable, ...]) -> None:
        """Adds every object of the list or tuple `objs`.

        Out of memory, raises MemoryError: the objects before the one that ran out are members,
        that one and those after it are members only if they were before.
        """

    def get_by_attribute(self, **kwargs: Any) -> list[Indexable]:
        """The members matching every keyword.

        A keyword value that is an iterable other than a string means "any of its items"; list
        attributes are matched by their elements. Keywords may be dotted paths.
        """

    def reduce(self, **kwargs: Any) -> None:
        """Narrows keyword retrieval (`get_by_attribute`, `reduced`) to the members matching
        `kwargs`; `collect()` still returns every member."""

    def reduced(self, **kwargs: Any) -> FilteredIndex:
        """A view of the members matching every keyword (as `get_by_attribute`)."""

    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex:
        """A view of the members matching `query`."""

    def group_by(self, attr: str) -> dict[Any, FilteredIndex]:
        """Each value some member holds in `attr` (a name or dotted path), mapped to a view of
        its holders. List elements group one by one."""

    def union_with(self, other: Index) -> None:
        """Adds the members of `other`, as if each had been added with `add_object`.

        Writes one `Merging attribute with 0x... and 0x...` line per shared attribute to
        standard error.
        """

    def collect(self) -> list[Indexable]:
        """Every member, in ascending object-id order."""

    def __len__(self) -> int:
        """The number of the members."""

    def __contains__(self, obj: object, /) -> bool:
        """Whether `obj` is one of the members."""

    def __iter__(self) -> Iterator[Indexable]:
        """The members, in ascending object-id order, read lazily."""

    def __repr__(self) -> str:
        """The type name with the number of the members."""

    def count(self, query: PyQueryExpr | None = None, /, **kwargs: Any) -> int:
        """The number of the members matching `query` or the keywords; with neither, all of them.
        Builds no list."""

    def group_counts(self, attr: str) -> dict[Any, int]:
        """Each value of `attr` among the members, mapped to the number holding it."""

    def order_by(
        self, attr: str, /, *, descending: bool = False, limit: int | None = None, offset: int = 0
    ) -> list[Indexable]:
        """The members ordered by the value in `attr`: numbers first, then each kind of date
        or time (date, naive datetime, aware datetime, timedelta, numpy datetime64, numpy
        timedelta64), each kind ascending or descending, equal values by ascending id; then those
        holding no ordered value in it by ascending id. A list ranks in the first kind it holds,
        at its smallest value (largest when descending). `offset` skipped, at most `limit`
        returned."""

    def remove(self, obj: Indexable) -> None:
        """Takes `obj` out of the index; KeyError(obj) if it is not a member."""

    def discard(self, obj: Indexable) -> None:
        """Takes `obj` out of the index if it is a member."""

    def remove_many(self, objs: list[Indexable] | tuple[Indexable, ...]) -> None:
        """Takes every object of `objs` out of the index; if one is not a member, raises
        KeyError(that object) and removes none."""

    def clear(self) -> None:
        """Takes every member out of the index."""

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickles the index as its members."""

    def __setstate__(self, members: list[Indexable], /) -> None:
        """Adds the unpickled members."""

@final
class FilteredIndex:
    """A fixed set of objects from an index, queried by their current attribute values.

    Returned by `Index.reduced`, `Index.reduced_query` and `Index.group_by`; it never gains
    objects, but sees every write. It cannot be constructed directly.
    """

    def reduced(self, **kwargs: Any) -> FilteredIndex:
        """A narrower view: the objects of this one matching every keyword."""

    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex:
        """A narrower view: the objects of this one matching `query`."""

    def collect(self) -> list[Indexable]:
        """The view's objects, in ascending object-id order."""

    def rebase(self) -> Index:
        """A new, independent index holding exactly the view's objects."""

    def __len__(self) -> int:
        """The number of the view's objects."""

    def __contains__(self, obj: object, /) -> bool:
        """Whether `obj` is one of the view's objects."""

    def __iter__(self) -> Iterator[Indexable]:
        """The view's objects, in ascending object-id order, read lazily."""

    def __repr__(self) -> str:
        """The type name with the number of the view's objects."""

    def count(self, query: PyQueryExpr | None = None, /, **kwargs: Any) -> int:
        """The number of the view's objects matching `query` or the keywords; with neither, all of them.
        Builds no list."""

    def group_counts(self, attr: str) -> dict[Any, int]:
        """Each value of `attr` among the view's objects, mapped to the number holding it."""

    def order_by(
        self, attr: str, /, *, descending: bool = False, limit: int | None = None, offset: int = 0
    ) -> list[Indexable]:
        """The view's objects ordered by the value in `attr`: numbers first, then each kind of date
        or time (date, naive datetime, aware datetime, timedelta, numpy datetime64, numpy
        timedelta64), each kind ascending or descending, equal values by ascending id; then those
        holding no ordered value in it by ascending id. A list ranks in the first kind it holds,
        at its smallest value (largest when descending). `offset` skipped, at most `limit`
        returned."""

    def __reduce_ex__(self, protocol: SupportsIndex) -> NoReturn:
        """Refuses: a view cannot be pickled; see `rebase()`."""

@final
class PyQueryExpr:
    """A query over attribute values, answered by `reduced_query`.

    Built with the static constructors; `attr` may be a dotted path into nested objects. Range
    comparisons (`gt`, `ge`, `lt`, `le`, `bt`) only ever match numbers. It cannot be constructed
    directly.
    """

    def __and__(self, other: PyQueryExpr, /) -> PyQueryExpr:
        """`and_(self, other)`."""

    def __rand__(self, other: PyQueryExpr, /) -> PyQueryExpr:
        """`and_(other, self)`."""

    def __or__(self, other: PyQueryExpr, /) -> PyQueryExpr:
        """`or_(self, other)`."""

    def __ror__(self, other: PyQueryExpr, /) -> PyQueryExpr:
        """`or_(other, self)`."""

    def __invert__(self) -> PyQueryExpr:
        """`not_(self)`."""

    def __repr__(self) -> str:
        """The query tree, as `<QueryExpr: ...>`."""

    @staticmethod
    def eq(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose `attr` equals `value` (or holds it, for a container attribute)."""

    @staticmethod
    def ne(attr: str, value: Any) -> PyQueryExpr:
        """The complement of `eq(attr, value)`, including objects without `attr`."""

    @staticmethod
    def gt(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose numeric `attr` is greater than `value`."""

    @staticmethod
    def ge(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose numeric `attr` is greater than or equal to `value`."""

    @staticmethod
    def lt(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose numeric `attr` is less than `value`."""

    @staticmethod
    def le(attr: str, value: Any) -> PyQueryExpr:
        """Objects whose numeric `attr` is less than or equal to `value`."""

    @staticmethod
    def bt(attr: str, lower: Any, upper: Any) -> PyQueryExpr:
        """Objects whose numeric `attr` lies between `lower` and `upper`, both included."""

    @staticmethod
    def in_(attr: str, values: Iterable[Any]) -> PyQueryExpr:
        """Objects whose `attr` equals any of `values`; an empty `values` finds nothing."""

    @staticmethod
    def and_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Objects matching every one of `exprs`; none finds nothing."""

    @staticmethod
    def or_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Objects matching any of `exprs`; none finds nothing."""

    @staticmethod
    def not_(exprs: PyQueryExpr) -> PyQueryExpr:
        """Objects not matching `exprs`, among those the query is answered over."""
