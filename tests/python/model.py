"""The brute-force model of the query surface: what every query must answer,
computed in plain Python from the attribute values a test keeps beside the
objects.

A test records each object's attributes in a `Model` (`model.attrs[id(obj)]`)
as it sets them, and builds its queries as trees of tuples:

    ("eq", path, value)  ("ne", path, value)  ("in", path, [values])
    ("gt" | "ge" | "lt" | "le", path, number)  ("bt", path, low, high)
    ("starts_with" | "ends_with" | "contains", path, needle)
    ("and", [trees])  ("or", [trees])  ("not", tree)

`to_expr` turns a tree into a PyQueryExpr and `Model.holds` decides it for
one object. A path's values are the attribute's value, or the elements of a
list, tuple or set at any depth; a dotted path goes on through the objects
among them.
"""
import operator

from Calderwick import Indexable, PyQueryExpr as Q

try:
    import numpy as np
except ImportError:  # numpy is optional
    np = None

CONTAINERS = (list, tuple, set)
NUMERIC = (int, float) + ((np.int64, np.float64) if np is not None else ())


def is_num(v):
    return type(v) in NUMERIC


def is_str(v):
    return type(v) is str or (np is not None and type(v) is np.str_)


def is_bool(v):
    return type(v) is bool or (np is not None and type(v) is np.bool_)


def scalars(v):
    """The values an attribute answers for: itself, or its elements at any depth."""
    if type(v) in CONTAINERS:
        for x in v:
            yield from scalars(x)
    else:
        yield v


def exact(v):
    """A number as a built-in int or float: Python compares those exactly
    (2**53 + 1 > 2.0**53), as the index orders them."""
    return v.item() if np is not None and isinstance(v, np.generic) else v


def value_eq(a, b):
    """Whether stored value `a` matches query value `b` under equality."""
    if is_num(a) and is_num(b):
        return exact(a) == exact(b)  # NaN matches nothing
    if is_str(a) and is_str(b):
        return str(a) == str(b)
    if is_bool(a) and is_bool(b):
        return bool(a) == bool(b)
    if type(a) in CONTAINERS or type(a) is dict:
        return False
    # Anything else (None, objects, other types) is matched by identity.
    return a is b and not (is_num(a) or is_str(a) or is_bool(a))


COMPARE = {"gt": operator.gt, "ge": operator.ge, "lt": operator.lt, "le": operator.le}
STRING_TESTS = {"starts_with": str.startswith, "ends_with": str.endswith, "contains": str.__contains__}


def leaf_holds(kind, args, vals, eq=value_eq):
    """Whether a leaf query holds for an object whose path reaches `vals`."""
    if kind == "eq":
        return any(eq(v, args[0]) for v in vals)
    if kind == "ne":
        return not any(eq(v, args[0]) for v in vals)
    if kind == "in":
        return any(eq(v, w) for v in vals for w in args[0])
    if kind in COMPARE:
        if not is_num(args[0]):
            return False
        op, bound = COMPARE[kind], exact(args[0])
        return any(is_num(v) and op(exact(v), bound) for v in vals)
    if kind == "bt":
        low, high = exact(args[0]), exact(args[1])
        return any(is_num(v) and exact(v) >= low and exact(v) <= high for v in vals)
    needle = args[0]
    if not is_str(needle):
        return False
    test = STRING_TESTS[kind]
    return any(is_str(v) and test(str(v), str(needle)) for v in vals)


def walk(tree):
    """Every node of a query tree, the root first."""
    yield tree
    kind, *args = tree
    if kind == "not":
        yield from walk(args[0])
    elif kind in ("and", "or"):
        for c in args[0]:
            yield from walk(c)


def leaves(tree):
    return (t for t in walk(tree) if t[0] not in ("and", "or", "not"))


def monotone(tree):
    """Whether the query only ever gains hits when a path reaches more values (no not, no ne)."""
    return not any(t[0] in ("not", "ne") for t in walk(tree))


def depth_of(tree):
    """The most dots in any path of the query."""
    return max((leaf[1].count(".") for leaf in leaves(tree)), default=0)


def to_expr(tree):
    kind, *args = tree
    if kind == "not":
        return Q.not_(to_expr(args[0]))
    if kind in ("and", "or"):
        return getattr(Q, kind + "_")(*[to_expr(c) for c in args[0]])
    return getattr(Q, "in_" if kind == "in" else kind)(*args)


MISSING = object()


class Model:
    """Every object's attributes as the test set them."""

    # How a stored value matches a query value (a test of hostile values
    # overrides it).
    value_eq = staticmethod(value_eq)

    def __init__(self):
        self.attrs = {}  # id(obj) -> {name: value}

    def track(self, obj, attrs):
        self.attrs[id(obj)] = dict(attrs)

    def value(self, obj, name):
        return self.attrs[id(obj)].get(name, MISSING)

    def resolve(self, obj, path):
        head, dot, tail = path.partition(".")
        value = self.value(obj, head)
        if value is MISSING:
            return []
        vals = list(scalars(value))
        if not dot:
            return vals
        out = []
        for x in vals:
            if isinstance(x, Indexable):
                out.extend(self.resolve(x, tail))
        return out

    def holds(self, obj, tree):
        kind, *args = tree
        if kind == "not":
            return not self.holds(obj, args[0])
        if kind == "and":
            return all(self.holds(obj, c) for c in args[0])
        if kind == "or":
            return any(self.holds(obj, c) for c in args[0])
        return leaf_holds(kind, args[1:], self.resolve(obj, args[0]), self.value_eq)

    def select(self, objs, tree):
        """The ids of the objects of `objs` for which the query holds."""
        return {id(o) for o in objs if self.holds(o, tree)}

    def children(self, obj):
        for v in self.attrs.get(id(obj), {}).values():
            for x in scalars(v):
                if isinstance(x, Indexable):
                    yield x

    def reaches(self, start, target):
        """Whether `target` is reachable from `start` through attribute values."""
        seen, stack = set(), list(self.children(start))
        while stack:
            o = stack.pop()
            if o is target:
                return True
            if id(o) not in seen:
                seen.add(id(o))
                stack.extend(self.children(o))
        return False

    def cyclic(self, objs):
        """Whether any object reachable from `objs` reaches itself."""
        seen, order = set(), []
        stack = list(objs)
        while stack:
            o = stack.pop()
            if id(o) not in seen:
                seen.add(id(o))
                order.append(o)
                stack.extend(self.children(o))
        return any(self.reaches(o, o) for o in order)


class LiveModel(Model):
    """The model over the objects' own attributes, read back from them: for
    tests that trust attribute reads and keep no record of their own."""

    def value(self, obj, name):
        return getattr(obj, name, MISSING)
