"""In-memory indexes over Python objects that answer attribute queries."""

from collections.abc import Iterable, Sequence
from typing import Any, SupportsIndex, final

from typing_extensions import Self, disjoint_base

def sum_as_string(a: SupportsIndex, b: SupportsIndex) -> str:
    """Return (a + b) modulo 2**64 in decimal; TypeError for non-integers, OverflowError outside 0 .. 2**64-1."""

class InternalError(BaseException):
    """Raised for a value that cannot be indexed or a failed internal operation; not an Exception subclass."""

@disjoint_base
class Indexable:
    """A bag of named attributes that indexes hold; assigning an attribute updates every index holding it."""

    def __new__(cls, *args: object, **kwargs: object) -> Self:
        """Create an object whose attributes are the keyword arguments (positional ones are ignored); InternalError for a value that cannot be indexed."""
    # The module reads attributes in its __getattribute__ slot; declaring
    # __getattr__ tells a type checker that any attribute name may be read.
    def __getattr__(self, name: str) -> Any:
        """Return the value of an attribute (numbers and strings as built-in int, float, str); AttributeError(name) if unset."""
    def __setattr__(self, name: str, value: object, /) -> None:
        """Set an attribute and update every index holding the object; InternalError for a value that cannot be indexed."""
    def __delattr__(self, name: str, /) -> None:
        """Always raises AttributeError: attributes cannot be deleted."""
    def __dir__(self) -> list[str]:
        """Return the attribute names, followed by the names object.__dir__ gives for the instance."""

@final
class Index:
    """An index of Indexable objects, queried by attribute values and paths."""

    def __init__(self) -> None:
        """Create an empty index; TypeError for any argument."""
    def collect(self) -> list[Indexable]:
        """Return every member, in ascending id order."""
    def reduced(self, **kwargs: object) -> FilteredIndex:
        """Return a view of the members whose attributes (dotted paths allowed) equal every keyword; TypeError for positional arguments."""
    def reduce(self, **kwargs: object) -> None:
        """Narrow this index in place to the members whose attributes equal every keyword; TypeError for positional arguments."""
    def get_by_attribute(self, **kwargs: object) -> list[Indexable]:
        """Return the members whose attributes equal every keyword, in ascending id order; TypeError for positional arguments."""
    def add_object_many(self, objs: Sequence[Indexable]) -> None:
        """Add every object of a sequence (not a str); TypeError, adding nothing, if any element is not an Indexable."""
    def add_object(self, py_ref: Indexable) -> None:
        """Add one object to the index; TypeError if it is not an Indexable."""
    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex:
        """Return a view of the members that satisfy a query expression; TypeError if query is not a PyQueryExpr."""
    def union_with(self, other: Index) -> None:
        """Add the members of another index and merge its value indexes into this one; TypeError if other is not an Index."""

@final
class FilteredIndex:
    """A snapshot view of some members of an index, made by reduced or reduced_query; it has no constructor (TypeError)."""

    def reduced(self, **kwargs: object) -> FilteredIndex:
        """Return a narrower view of the objects whose attributes equal every keyword; TypeError for positional arguments."""
    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex:
        """Return a narrower view of the objects that satisfy a query expression; TypeError if query is not a PyQueryExpr."""
    def collect(self) -> list[Indexable]:
        """Return the view's objects, in ascending id order."""
    def rebase(self) -> Index:
        """Return a new independent Index holding exactly the view's objects, indexed afresh."""

@final
class PyQueryExpr:
    """An immutable query expression, built only by the static methods; it has no constructor (TypeError)."""

    @staticmethod
    def eq(attr: str, value: object) -> PyQueryExpr:
        """Select objects whose attribute equals value; TypeError if attr is not a str, InternalError for a value that cannot be indexed."""
    @staticmethod
    def ne(attr: str, value: object) -> PyQueryExpr:
        """Select objects whose attribute does not equal value; TypeError if attr is not a str, InternalError for a value that cannot be indexed."""
    @staticmethod
    def gt(attr: str, value: object) -> PyQueryExpr:
        """Select objects whose numeric attribute is greater than value; TypeError if attr is not a str, InternalError for a value that cannot be indexed."""
    @staticmethod
    def ge(attr: str, value: object) -> PyQueryExpr:
        """Select objects whose numeric attribute is at least value; TypeError if attr is not a str, InternalError for a value that cannot be indexed."""
    @staticmethod
    def le(attr: str, value: object) -> PyQueryExpr:
        """Select objects whose numeric attribute is at most value; TypeError if attr is not a str, InternalError for a value that cannot be indexed."""
    @staticmethod
    def bt(attr: str, lower: object, upper: object) -> PyQueryExpr:
        """Select objects whose numeric attribute lies in [lower, upper]; TypeError if attr is not a str, InternalError for a bound that cannot be indexed."""
    @staticmethod
    def lt(attr: str, value: object) -> PyQueryExpr:
        """Select objects whose numeric attribute is less than value; TypeError if attr is not a str, InternalError for a value that cannot be indexed."""
    @staticmethod
    def in_(attr: str, values: Sequence[object]) -> PyQueryExpr:
        """Select objects whose attribute equals one of values; TypeError if attr is not a str or values is a str or not a sequence."""
    @staticmethod
    def and_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Select objects that satisfy every expression; TypeError for an argument that is not a PyQueryExpr."""
    @staticmethod
    def or_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Select objects that satisfy at least one expression; TypeError for an argument that is not a PyQueryExpr."""
    @staticmethod
    def not_(exprs: PyQueryExpr) -> PyQueryExpr:
        """Select objects that do not satisfy the expression; TypeError if it is not a PyQueryExpr."""
    @staticmethod
    def starts_with(attr: str, value: object) -> PyQueryExpr:
        """Select objects whose string attribute starts with value; TypeError if attr is not a str."""
    @staticmethod
    def ends_with(attr: str, value: object) -> PyQueryExpr:
        """Select objects whose string attribute ends with value; TypeError if attr is not a str."""
    @staticmethod
    def contains(attr: str, value: object) -> PyQueryExpr:
        """Select objects whose string attribute contains value; TypeError if attr is not a str."""
    def __copy__(self) -> PyQueryExpr:
        """Return the expression itself (expressions are immutable)."""
    def __deepcopy__(self, memo: object) -> PyQueryExpr:
        """Return the expression itself (expressions are immutable)."""
