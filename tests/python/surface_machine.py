"""A stateful model of the whole query surface: random programs of object
construction, assignments of every value kind, adds (again, in bulk, with
duplicates), merges, narrowings, views and rebases, checked after every step
against the brute-force model of `model.py` on every live index and view.

The rules are weighted so that programs reach every internal state of the
structures behind the answers: structures built on demand by queries (the
ordered keys of numbers, the lead pairs of strings) before and after they
exist, assignments queued in runs past the move batch or read back at once,
attribute maps inline and spilled past their inline capacity, and a large
index beside the small ones. `tests/python/test_model_surface.py` runs it
within the test budget, `scripts/model_soak.py` for as long as it is given.
"""
import math
import random

from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from Calderwick import Index, Indexable

from model import Model, depth_of, monotone, scalars, to_expr

INTS = [0, 1, -1, 2, 7, 100, 2**31, 2**53, 2**53 + 1, 2**62, 2**63 - 1, -(2**63), -(2**63) + 1, -(2**62)]
FLOATS = [0.5, 2.5, -7.5, 7.0, 0.0, -0.0, 1e300, -1e300, math.inf, -math.inf, math.nan, 5e-324, 2.0**63, -(2.0**63),
          float(2**53)]
STRINGS = ["", "a", "ab", "abc", "b", "ba", "bab", "hello", "lob", "é", "日本語", "a\x00b", "\U0001f600x", "x" * 70,
           "ab" * 40 + "é"]
OTHERS = [True, False, None, b"ab", frozenset({1})]
NUMBERS = INTS + FLOATS
SCALARS = NUMBERS + STRINGS + OTHERS
# Strings the wide rules assign: short, and long enough to bypass the move queue.
BURST_STRINGS = ["a", "ab", "abc", "b", "ba", "hello", "x" * 70, "é", ""]

NAMES = ["a", "a", "b", "b", "c", "o"]
WIDE = [f"w{i}" for i in range(24)]  # past the attribute map's inline capacity
PATHS = ["a", "a", "b", "b", "c", "o", "o.a", "o.b", "c.a", "o.o.a", "w3", "w20"]
NEEDLES = ["", "a", "b", "ab", "ba", "lo", "x", "é", "\U0001f600", "xx"]

MISSING = object()
MAX_OBJECTS = 8
MAX_INDEXES = 4
MAX_VIEWS = 6
BIG = 1500  # objects of the large index


class Surface(RuleBasedStateMachine):
    queries_per_index = 6
    queries_per_view = 2
    # Programs, rules and queries run in this process (for the long run's figures).
    totals = {"programs": 0, "rules": 0, "queries": 0}

    def __init__(self):
        super().__init__()
        self.totals["programs"] += 1
        self.model = Model()
        self.objects = []
        self.indexes = []  # [Index, {id: obj}]
        self.views = []  # [FilteredIndex, source entry, {id: obj}, stale]
        self.big = None  # [Index, [objects], [places]] once loaded
        self.steps = 0
        self.seed = 0
        self.stats = {}
        # Values assigned lately: an index that kept one after it was
        # replaced is found out by a query for it.
        self.recent = []

    # -- values ------------------------------------------------------------

    def scalar(self, data):
        return data.draw(st.sampled_from(SCALARS))

    def value(self, data):
        r = data.draw(st.integers(0, 19))
        if r < 10:
            return self.scalar(data)
        if r < 14:
            items = [self.scalar(data) for _ in range(data.draw(st.integers(0, 3)))]
            kind = data.draw(st.sampled_from([list, tuple, set]))
            if kind is set:
                items = [x for x in items if not (isinstance(x, float) and math.isnan(x))]
            return kind(items)
        if r < 15:
            return [[self.scalar(data)], (self.scalar(data),)]
        if self.objects:
            obj = data.draw(st.sampled_from(self.objects))
            return obj if r < 18 else [obj, self.scalar(data)]
        return self.scalar(data)

    def acyclic_value(self, data, owner):
        """A value for `owner`, redrawn (once) if it would close a cycle; cycles come from their own rule."""
        v = self.value(data)
        if any(isinstance(x, Indexable) and (x is owner or self.model.reaches(x, owner)) for x in scalars(v)):
            v = self.scalar(data)
        return v

    def assigned(self, obj, name, value):
        self.model.attrs[id(obj)][name] = value
        self.recent.append(value)
        del self.recent[:-12]

    def count(self, what):
        self.stats[what] = self.stats.get(what, 0) + 1

    # -- objects -----------------------------------------------------------

    @initialize(seed=st.integers(0, 2**32 - 1))
    def start(self, seed):
        self.seed = seed
        self.indexes.append([Index(), {}])

    @precondition(lambda self: len(self.objects) < MAX_OBJECTS)
    @rule(data=st.data(), n=st.integers(0, 4))
    def new_object(self, data, n):
        attrs = {data.draw(st.sampled_from(NAMES)): self.value(data) for _ in range(n)}
        obj = Indexable(**attrs)
        self.model.track(obj, attrs)
        self.objects.append(obj)

    @precondition(lambda self: self.objects)
    @rule(data=st.data())
    def set_attr(self, data):
        obj = data.draw(st.sampled_from(self.objects))
        name = data.draw(st.sampled_from(NAMES))
        value = self.acyclic_value(data, obj)
        setattr(obj, name, value)
        self.assigned(obj, name, value)

    @precondition(lambda self: self.objects)
    @rule(data=st.data(), number=st.sampled_from(NUMBERS))
    def set_number(self, data, number):
        # Numbers replacing numbers move within the number index.
        obj = data.draw(st.sampled_from(self.objects))
        name = data.draw(st.sampled_from(["a", "b"]))
        setattr(obj, name, number)
        self.assigned(obj, name, number)

    @precondition(lambda self: len(self.objects) >= 2)
    @rule(data=st.data(), through=st.sampled_from(["plain", "list", "tuple"]))
    def close_cycle(self, data, through):
        a = data.draw(st.sampled_from(self.objects))
        b = data.draw(st.sampled_from(self.objects))
        value = {"plain": a, "list": [a], "tuple": (a, 1)}[through]
        b.o = value
        self.model.attrs[id(b)]["o"] = value
        self.count("cycles")

    @precondition(lambda self: self.objects)
    @rule(data=st.data(), width=st.integers(14, 24))
    def widen(self, data, width):
        # Attributes past the inline capacity of an object's map, then numbers
        # and strings reassigned among them.
        obj = data.draw(st.sampled_from(self.objects))
        rng = random.Random(data.draw(st.integers(0, 2**16)))
        for name in WIDE[:width]:
            v = rng.choice(NUMBERS + BURST_STRINGS)
            setattr(obj, name, v)
            self.model.attrs[id(obj)][name] = v
        self.count("wide objects")

    @precondition(lambda self: self.objects)
    @rule(data=st.data(), n=st.sampled_from([1, 3, 40, 255, 256, 257, 600]), strings=st.booleans())
    def burst(self, data, n, strings):
        # A run of assignments with no query between them: moves queue, cross
        # the batch size, and some set a value back at once.
        rng = random.Random(data.draw(st.integers(0, 2**16)))
        pool = BURST_STRINGS if strings else NUMBERS
        for _ in range(n):
            obj = rng.choice(self.objects)
            name = rng.choice(["a", "b"])
            before = self.model.attrs[id(obj)].get(name, MISSING)
            v = rng.choice(pool)
            setattr(obj, name, v)
            if before is not MISSING and rng.random() < 0.3:
                setattr(obj, name, before)
                v = before
            self.assigned(obj, name, v)
        self.count("bursts")

    @precondition(lambda self: self.objects)
    @rule(data=st.data())
    def drop_object(self, data):
        # The pool forgets it; indexes that hold it keep it alive.
        self.objects.remove(data.draw(st.sampled_from(self.objects)))

    # -- indexes -----------------------------------------------------------

    @precondition(lambda self: len(self.indexes) < MAX_INDEXES)
    @rule()
    def new_index(self):
        self.indexes.append([Index(), {}])

    @precondition(lambda self: len(self.indexes) > 1)
    @rule(data=st.data())
    def drop_index(self, data):
        entry = data.draw(st.sampled_from(self.indexes))
        self.indexes.remove(entry)

    @precondition(lambda self: self.objects)
    @rule(data=st.data())
    def add_object(self, data):
        index, members = data.draw(st.sampled_from(self.indexes))
        # Members come back often: adding one again must change nothing.
        pool = list(members.values()) if members and data.draw(st.booleans()) else self.objects
        obj = data.draw(st.sampled_from(pool))
        self.count("adds of members" if id(obj) in members else "adds")
        index.add_object(obj)
        members[id(obj)] = obj

    # Adding members again and moving numbers are where filing goes wrong:
    # each has a second rule, so programs do both twice as often.
    add_object_again = add_object
    set_number_again = set_number

    @precondition(lambda self: self.objects)
    @rule(data=st.data(), n=st.integers(0, 8))
    def add_object_many(self, data, n):
        index, members = data.draw(st.sampled_from(self.indexes))
        pool = self.objects + list(members.values())
        objs = [data.draw(st.sampled_from(pool)) for _ in range(n)]
        index.add_object_many(objs)
        for o in objs:
            members[id(o)] = o

    @precondition(lambda self: self.objects)
    @rule(data=st.data())
    def add_everything(self, data):
        index, members = data.draw(st.sampled_from(self.indexes))
        objs = self.objects * data.draw(st.integers(1, 2))
        index.add_object_many(objs)
        for o in objs:
            members[id(o)] = o

    @rule(data=st.data())
    def union(self, data):
        target = data.draw(st.sampled_from(self.indexes))
        source = data.draw(st.sampled_from(self.indexes))  # itself, too
        target[0].union_with(source[0])
        target[1].update(source[1])

    @rule(data=st.data())
    def reduce(self, data):
        entry = data.draw(st.sampled_from(self.indexes))
        index, members = entry
        tree, kwargs = self.keyword_query(data, entry)
        index.reduce(**kwargs)
        keep = self.model.select(members.values(), tree)
        for k in [k for k in members if k not in keep]:
            del members[k]
        for view in self.views:
            if view[1] is entry:
                view[3] = True  # what a view answers once its index narrowed is not modelled

    def keyword_query(self, data, entry):
        kwargs = {}
        for _ in range(data.draw(st.integers(0, 2))):
            path = data.draw(st.sampled_from(["a", "b", "c", "o.a"]))
            kwargs[path] = self.present_value(data, entry[1], path)
        return ("and", [("eq", k, v) for k, v in kwargs.items()]), kwargs

    def present_value(self, data, members, path):
        """A value some member holds at `path` (else any scalar), so that narrowing keeps something."""
        vals = [v for o in members.values() for v in self.model.resolve(o, path)]
        vals = [v for v in vals if type(v) in (int, float, str, bool)]
        return data.draw(st.sampled_from(vals)) if vals else self.scalar(data)

    # -- views -------------------------------------------------------------

    @precondition(lambda self: len(self.views) < MAX_VIEWS)
    @rule(data=st.data(), keywords=st.booleans())
    def make_view(self, data, keywords):
        entry = data.draw(st.sampled_from(self.indexes))
        index, members = entry
        if keywords:
            tree, kwargs = self.keyword_query(data, entry)
            view = index.reduced(**kwargs)
        else:
            tree = self.random_query(random.Random(data.draw(st.integers(0, 2**16))), members)
            view = index.reduced_query(to_expr(tree))
        self.views.append([view, entry, self.view_members(view, members, tree), False])

    @precondition(lambda self: self.views and len(self.views) < MAX_VIEWS)
    @rule(data=st.data())
    def narrow_view(self, data):
        view, entry, vmembers, stale = data.draw(st.sampled_from(self.views))
        if stale:
            return
        tree = self.random_query(random.Random(data.draw(st.integers(0, 2**16))), vmembers)
        sub = view.reduced_query(to_expr(tree))
        self.views.append([sub, entry, self.view_members(sub, vmembers, tree), False])

    def view_members(self, view, members, tree):
        """What a new view must hold, checked as a query's answer."""
        got = view.collect()
        self.compare(got, members.values(), tree, self.model.cyclic(members.values()), "new view")
        keep = {id(o) for o in got} if self.cyclic_deep(members, tree) else self.model.select(members.values(), tree)
        return {k: members[k] for k in keep}

    def cyclic_deep(self, members, tree):
        return depth_of(tree) >= 2 and self.model.cyclic(members.values())

    @precondition(lambda self: self.views)
    @rule(data=st.data())
    def rebase(self, data):
        view, entry, vmembers, stale = data.draw(st.sampled_from(self.views))
        if stale or len(self.indexes) >= MAX_INDEXES:
            return
        self.indexes.append([view.rebase(), dict(vmembers)])

    @precondition(lambda self: self.views)
    @rule(data=st.data())
    def drop_view(self, data):
        self.views.remove(data.draw(st.sampled_from(self.views)))

    # -- the large index ---------------------------------------------------

    @precondition(lambda self: self.big is None)
    @rule(seed=st.integers(0, 2**16))
    def load_big(self, seed):
        # Enough objects that the structures queries build on demand pay
        # for themselves: six-letter strings on a small alphabet (prefixes
        # then sweep large cells) and numbers in a narrow range. Each also
        # holds a list (element ids in one long stretch) and a place, one
        # of a few objects made among the records (so the sub-index holds
        # a few objects scattered over many ids).
        rng = random.Random(seed)
        objs, places = [], []
        for i in range(BIG):
            if i % 75 == 0:
                place = Indexable(k=len(places) % 7)
                self.model.track(place, {"k": len(places) % 7})
                places.append(place)
            attrs = {"s": "".join(rng.choice("ab") for _ in range(6)), "n": rng.randrange(-300, 300),
                     "f": rng.choice([rng.random() * 100, rng.choice(FLOATS)]),
                     "t": [rng.randrange(10) for _ in range(rng.randrange(4))], "p": rng.choice(places)}
            obj = Indexable(**attrs)
            self.model.track(obj, attrs)
            objs.append(obj)
        index = Index()
        index.add_object_many(objs)
        self.big = [index, objs, places]

    @precondition(lambda self: self.big is not None)
    @rule(seed=st.integers(0, 2**16), n=st.sampled_from([1, 50, 300, 2000]), again=st.integers(0, 20))
    def big_writes(self, seed, n, again):
        rng = random.Random(seed)
        index, objs, places = self.big
        for _ in range(n):
            obj = rng.choice(objs)
            r = rng.random()
            if r < 0.4:
                name, v = "s", "".join(rng.choice("abc") for _ in range(rng.choice([2, 6, 6, 7])))
            elif r < 0.8:
                name, v = "n", rng.choice([rng.randrange(-300, 300), rng.choice(NUMBERS)])
            elif r < 0.9:
                name, v = "t", [rng.randrange(10) for _ in range(rng.randrange(4))]
            else:
                name, v = "p", rng.choice(places)
            setattr(obj, name, v)
            self.model.attrs[id(obj)][name] = v
        for _ in range(again):  # members filed again
            index.add_object(rng.choice(objs))
        if again > 10:
            index.add_object_many(rng.sample(objs, min(40, len(objs))) * 2)

    @precondition(lambda self: self.big is not None)
    @rule(seed=st.integers(0, 2**16))
    def narrow_big(self, seed):
        # Down to a few members: the tables by id that were arrays empty out.
        index, objs, places = self.big
        rng = random.Random(seed)
        held = [v for o in objs if type(v := self.model.attrs[id(o)]["n"]) is int]
        if not held:
            return
        value = rng.choice(held)
        index.reduce(n=value)
        objs[:] = [o for o in objs if self.model.attrs[id(o)]["n"] == value]

    # -- checks ------------------------------------------------------------

    def random_query(self, rng, members, depth=0):
        if depth < 2 and rng.random() < 0.25:
            kind = rng.choice(["and", "or", "not"])
            if kind == "not":
                return ("not", self.random_query(rng, members, depth + 1))
            return (kind, [self.random_query(rng, members, depth + 1) for _ in range(rng.randint(0, 3))])
        path = rng.choice(PATHS)
        # Mostly values the members hold at that path, so that answers split them.
        held = [v for o in members.values() for v in self.model.resolve(o, path)] if members else []
        held = [v for v in held if type(v) in (int, float, str, bool)]
        recent = [v for v in self.recent if type(v) in (int, float, str, bool)]

        def pick(pool):
            r = rng.random()
            if held and r < 0.45:
                return rng.choice(held)
            if recent and r < 0.75:
                return rng.choice(recent)
            return rng.choice(pool)

        kind = rng.choice(["eq", "ne", "in", "gt", "ge", "lt", "le", "bt", "bt", "starts_with", "ends_with",
                           "contains"])
        if kind == "in":
            return (kind, path, [pick(SCALARS) for _ in range(rng.randint(0, 3))])
        if kind in ("gt", "ge", "lt", "le"):
            v = pick(NUMBERS)
            return (kind, path, v if type(v) in (int, float) else rng.choice(NUMBERS))
        if kind == "bt":
            lo, hi = pick(NUMBERS), pick(NUMBERS)
            lo = lo if type(lo) in (int, float) else 0
            hi = hi if type(hi) in (int, float) else 0
            return (kind, path, lo, hi) if rng.random() < 0.8 else (kind, path, lo, lo)
        if kind in ("starts_with", "ends_with", "contains"):
            v = pick(NEEDLES)
            if type(v) is str and rng.random() < 0.5:
                cut = rng.randint(0, len(v))
                v = v[:cut] if kind == "starts_with" else v[cut:] if kind == "ends_with" else v[cut // 2:cut]
            return (kind, path, v)
        return (kind, path, pick(SCALARS))

    def compare(self, got, objs, tree, cyclic, where):
        self.totals["queries"] += 1
        want = self.model.select(objs, tree)
        got = {id(o) for o in got}
        if cyclic and depth_of(tree) >= 2:
            # Through a cycle a deep path stops where it would lead back into
            # an object holding it: a subset, never an object that fails.
            if monotone(tree):
                assert got <= want, (where, tree, "returned objects that do not match")
            return
        assert got == want, (where, tree, sorted(got - want), sorted(want - got))

    @invariant()
    def answers_are_exact(self):
        self.steps += 1
        self.totals["rules"] += 1
        rng = random.Random(self.seed * 7919 + self.steps)
        objs = {id(o): o for o in self.objects}
        for _, members in self.indexes:
            objs.update(members)
        for view in self.views:
            objs.update(view[2])  # views keep objects that left the pool and every index
        cyclic = self.model.cyclic(objs.values())
        for n, (index, members) in enumerate(self.indexes):
            assert {id(o) for o in index.collect()} == set(members), ("members of index", n)
            for _ in range(self.queries_per_index):
                tree = self.random_query(rng, members)
                self.compare(index.reduced_query(to_expr(tree)).collect(), members.values(), tree, cyclic, n)
            if rng.random() < 0.3:
                path = rng.choice(["a", "b", "o.a"])
                value = self.present_value_rng(rng, members, path)
                got = index.get_by_attribute(**{path: value})
                self.compare(got, members.values(), ("and", [("eq", path, value)]), cyclic, n)
        for view, _, vmembers, stale in self.views:
            if stale:
                continue
            assert {id(o) for o in view.collect()} == set(vmembers), "members of a view"
            for _ in range(self.queries_per_view):
                tree = self.random_query(rng, vmembers)
                self.compare(view.reduced_query(to_expr(tree)).collect(), vmembers.values(), tree, cyclic, "view")
        if self.big is not None:
            self.check_big(rng)

    def check_big(self, rng):
        # Single leaves over one attribute, decided by a plain predicate (the
        # general model costs too much at this size).
        index, big, _ = self.big
        attrs = self.model.attrs
        for _ in range(2):
            kind = rng.choice(["starts_with", "starts_with", "eq", "ends_with", "contains", "bt", "gt", "lt", "element",
                               "place"])
            if kind == "element":
                v = rng.randrange(11)
                tree = ("eq", "t", v)
                want = {id(o) for o in big if v in attrs[id(o)]["t"]}
            elif kind == "place":
                v = rng.randrange(8)
                tree = ("eq", "p.k", v)
                want = {id(o) for o in big if attrs[id(attrs[id(o)]["p"])]["k"] == v}
            elif kind in ("bt", "gt", "lt"):
                path = rng.choice(["n", "f"])
                lo = rng.randrange(-300, 300)
                hi = lo + rng.choice([0, 1, 5, 40])
                tree = (kind, path, lo, hi) if kind == "bt" else (kind, path, lo)
                test = {"bt": lambda v: lo <= v <= hi, "gt": lambda v: v > lo, "lt": lambda v: v < lo}[kind]
                want = {id(o) for o in big if type(v := attrs[id(o)][path]) in (int, float) and test(v)}
            else:
                path = "s"
                needle = "".join(rng.choice("abc") for _ in range(rng.choice([2, 2, 3, 6])))
                tree = (kind, path, needle)
                test = {"starts_with": str.startswith, "ends_with": str.endswith, "contains": str.__contains__,
                        "eq": str.__eq__}[kind]
                want = {id(o) for o in big if test(attrs[id(o)][path], needle)}
            got = {id(o) for o in index.reduced_query(to_expr(tree)).collect()}
            self.totals["queries"] += 1
            assert got == want, ("big", tree, sorted(got - want), sorted(want - got))

    def present_value_rng(self, rng, members, path):
        vals = [v for o in members.values() for v in self.model.resolve(o, path)]
        vals = [v for v in vals if type(v) in (int, float, str, bool)]
        return rng.choice(vals) if vals else rng.choice(SCALARS)

    def teardown(self):
        self.objects.clear()
        self.indexes.clear()
        self.views.clear()
        self.big = None
