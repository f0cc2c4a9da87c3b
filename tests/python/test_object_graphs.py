"""Object graphs that real programs build: back-references, self-reference,
rings, webs, long chains, repeated registration, views and cyclic garbage.

Shapes that used to take the interpreter down run in a subprocess, so a crash
or a hang fails one test instead of the run."""
import gc
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import SANITIZED
from Calderwick import Index, Indexable, InternalError, PyQueryExpr as Q


def run_isolated(code, timeout=120):
    """Runs `code` in a fresh interpreter; it must exit cleanly."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=os.environ.copy())
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


def names(view):
    return sorted(o.name for o in view.collect())


def eq(index, attr, value):
    return names(index.reduced_query(Q.eq(attr, value)))


# --- graph shapes -----------------------------------------------------------------------

def tree_with_parent_links(fanout=3, depth=3):
    root = Indexable(name="n")
    nodes = [root]
    level = [root]
    for d in range(depth):
        nxt = []
        for p in level:
            kids = [Indexable(name=f"{p.name}{i}", parent=p) for i in range(fanout)]
            p.children = kids
            nxt.extend(kids)
        nodes.extend(nxt)
        level = nxt
    for leaf in level:
        leaf.children = []
    return nodes


def ring(n, container):
    objs = [Indexable(name=f"r{i}") for i in range(n)]
    for i, o in enumerate(objs):
        o.next = container([objs[(i + 1) % n]])
    return objs


def web(n):
    objs = [Indexable(name=f"w{i}") for i in range(n)]
    for o in objs:
        o.peers = [p for p in objs if p is not o]
    return objs


ADDERS = {
    "one_by_one": lambda idx, objs: [idx.add_object(o) for o in objs],
    "bulk": lambda idx, objs: idx.add_object_many(objs),
    "merge": lambda idx, objs: idx.union_with(_filled(objs)),
    "rebase": None,  # handled in `build`
}


def _filled(objs):
    other = Index()
    other.add_object_many(objs)
    return other


def build(how, objs):
    if how == "rebase":
        return _filled(objs).reduced().rebase()
    idx = Index()
    ADDERS[how](idx, objs)
    return idx


@pytest.mark.parametrize("how", list(ADDERS))
def test_tree_with_parent_links_indexes_and_answers_dotted_queries(how):
    nodes = tree_with_parent_links()
    idx = build(how, nodes)
    by_name = {o.name: o for o in nodes}
    assert eq(idx, "parent.name", "n") == ["n0", "n1", "n2"]
    assert eq(idx, "children.name", "n12") == ["n1"]
    assert eq(idx, "parent.parent.name", "n") == sorted(n.name for n in nodes if len(n.name) == 3)
    # Reassignment moves the answers; a narrowing keeps only what it kept.
    by_name["n12"].name = "moved"
    assert eq(idx, "children.name", "moved") == ["n1"]
    assert eq(idx, "children.name", "n12") == []
    by_name["n2"].parent = by_name["n1"]
    assert eq(idx, "parent.name", "n1") == ["moved", "n10", "n11", "n2"]
    idx.reduce(name="n1")
    assert names(idx.reduced()) == ["n1"]
    assert eq(idx, "children.name", "moved") == ["n1"]
    assert eq(idx, "parent.name", "n") == ["n1"]


@pytest.mark.parametrize("container", [list, tuple, set])
def test_object_holding_itself_in_a_container(container):
    a = Indexable(name="a")
    a.me = container([a]) if container is not set else {a}
    idx = Index()
    idx.add_object(a)
    assert eq(idx, "me.name", "a") == ["a"]
    a.name = "b"
    assert eq(idx, "me.name", "b") == ["b"]
    assert eq(idx, "me.name", "a") == []


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("container", [list, tuple])
@pytest.mark.parametrize("how", ["one_by_one", "bulk", "merge", "rebase"])
def test_rings_through_containers(n, container, how):
    objs = ring(n, container)
    idx = build(how, objs)
    for i in range(n):
        assert eq(idx, "next.name", f"r{i}") == [f"r{(i - 1) % n}"]
    objs[0].name = "first"
    assert eq(idx, "next.name", "first") == [objs[-1].name]
    idx.reduce(name="first")
    assert names(idx.reduced()) == ["first"]
    assert eq(idx, "next.name", "first") == (["first"] if n == 1 else [])


@pytest.mark.parametrize("n", [2, 8, 16])
def test_web_of_mutually_linked_objects(n):
    objs = web(n)
    idx = Index()
    idx.add_object_many(objs)
    assert eq(idx, "peers.name", "w0") == sorted(f"w{i}" for i in range(1, n))
    objs[1].name = "one"
    assert eq(idx, "peers.name", "one") == sorted(o.name for o in objs if o is not objs[1])


def test_cycle_closed_by_assignment_after_indexing():
    a, b, c = (Indexable(name=x) for x in "abc")
    idx = Index()
    idx.add_object_many([a, b, c])
    a.next = [b]
    b.next = (c,)
    c.next = [[a]]  # through a nested container
    assert eq(idx, "next.name", "a") == ["c"]
    assert eq(idx, "next.next.name", "c") == ["a"]
    c.next = []
    assert eq(idx, "next.name", "a") == []


def test_parent_link_tree_in_a_subprocess_does_not_crash():
    # The user's first try: it used to take the interpreter down.
    out = run_isolated("""
        from Calderwick import Index, Indexable, PyQueryExpr as Q
        root = Indexable(name="root"); kid = Indexable(name="kid", parent=root); root.children = [kid]
        idx = Index(); idx.add_object(root); idx.add_object(kid)
        print(sorted(o.name for o in idx.reduced_query(Q.eq("children.name", "kid")).collect()))
    """)
    assert out.strip() == "['root']"


def test_dropping_a_long_chain_does_not_overflow_the_stack():
    run_isolated("""
        from Calderwick import Indexable
        head = cur = Indexable(n=0)
        for i in range(1, 100_000):
            cur.next = Indexable(n=i)
            cur = cur.next
        del cur
        del head
        print("ok")
    """)


def test_indexing_a_chain_past_the_depth_limit_fails_cleanly():
    head = cur = Indexable(n=0)
    for i in range(1, 1000):
        cur.next = Indexable(n=i)
        cur = cur.next
    idx = Index()
    with pytest.raises(InternalError, match="deeper than"):
        idx.add_object(head)
    assert idx.collect() == []
    # A chain within the limit is indexed whole.
    short = cur = Indexable(n=0)
    for i in range(1, 50):
        cur.next = Indexable(n=i)
        cur = cur.next
    idx.add_object(short)
    assert idx.reduced_query(Q.eq("next." * 49 + "n", 49)).collect() == [short]
    # Attaching one chain to the end of another past the limit is refused too,
    # and the object keeps its old value.
    long_tail = tail = Indexable(n=0)
    for i in range(1, 180):
        tail.next = Indexable(n=i)
        tail = tail.next
    with pytest.raises(InternalError, match="deeper than"):
        cur.next = long_tail
    with pytest.raises(AttributeError):
        cur.next


def test_an_object_in_no_index_takes_any_value_and_is_checked_when_indexed():
    # Linked objects are built before anything indexes them: attaching a chain
    # far past the depth limit, or a container an index could not file, to
    # an object in no index is a plain store, as in the constructor.
    long_tail = tail = Indexable(n=0)
    for i in range(1, 500):
        tail.next = Indexable(n=i)
        tail = tail.next
    head = Indexable(n=-1)
    head.next = long_tail
    head.v = [1, 2**64]
    assert head.next is long_tail and head.v == [1, 2**64]
    idx = Index()
    with pytest.raises(InternalError, match="deeper than"):
        idx.add_object(head)
    head.next = None
    with pytest.raises(InternalError, match="^type checked"):
        idx.add_object(head)
    assert idx.collect() == []
    head.v = [1]
    idx.add_object(head)
    assert idx.reduced_query(Q.eq("v", 1)).collect() == [head]
    # Once indexed, the same values are refused and the old one kept.
    with pytest.raises(InternalError, match="deeper than"):
        head.next = long_tail
    with pytest.raises(InternalError, match="^type checked"):
        head.v = [2**64]
    assert head.next is None and head.v == [1]


# --- memberships ------------------------------------------------------------------------

def test_registering_again_keeps_one_membership_and_one_update():
    leaf = Indexable(n=0)
    o = Indexable(ref=leaf)
    idx = Index()
    for _ in range(500):
        idx.add_object(o)
        o.ref = leaf
    sub = idx.reduced_query(Q.eq("ref.n", 0))
    assert sub.collect() == [o]
    leaf.n = 5
    assert idx.reduced_query(Q.eq("ref.n", 5)).collect() == [o]
    assert idx.reduced_query(Q.eq("ref.n", 0)).collect() == []


# --- views ------------------------------------------------------------------------------

def test_view_never_returns_an_object_that_took_a_freed_id():
    idx = Index()
    a = Indexable(k=1, name="a")
    b = Indexable(k=2, name="b")
    idx.add_object_many([a, b])
    view = idx.reduced_query(Q.eq("k", 1))
    idx.reduce(k=2)
    del a
    gc.collect()
    newcomers = [Indexable(k=3, name=f"c{i}") for i in range(50)]  # one of them may take a's id
    idx.add_object_many(newcomers)
    assert view.collect() == []
    assert view.reduced(k=3).collect() == []
    assert view.reduced_query(Q.eq("k", 3)).rebase().collect() == []


def test_view_outlives_its_index_and_sees_assignments():
    o = Indexable(k=1)
    idx = Index()
    idx.add_object(o)
    view = idx.reduced()
    del idx
    gc.collect()
    o.k = 2
    assert view.reduced(k=1).collect() == []
    assert view.reduced(k=2).collect() == [o]
    assert view.reduced_query(Q.gt("k", 1)).collect() == [o]


# --- cyclic garbage ---------------------------------------------------------------------

class Counted(Indexable):
    freed = 0

    def __del__(self):
        Counted.freed += 1


def make_cycle(shape):
    """Builds one dropped cycle of `shape`; returns how many objects it made."""
    if shape == "pair":
        a, b = Counted(), Counted()
        a.x, b.x = b, a
        return 2
    if shape == "self_list":
        a = Counted()
        a.me = [a]
        return 1
    if shape == "self_set":
        a = Counted()
        a.s = {a}
        return 1
    if shape == "ring_tuple":
        objs = [Counted() for _ in range(3)]
        for i, o in enumerate(objs):
            o.next = (objs[(i + 1) % 3],)
        return 3
    root = Counted()
    root.children = [Counted(parent=root), Counted(parent=root)]
    return 3


@pytest.mark.parametrize("shape", ["pair", "self_list", "self_set", "ring_tuple", "tree"])
def test_dropped_cycles_are_collected(shape):
    gc.collect()
    Counted.freed = 0
    made = sum(make_cycle(shape) for _ in range(200))
    gc.collect()
    assert Counted.freed == made


def test_objects_held_by_an_index_survive_collection():
    idx = Index()
    for i in range(100):
        a, b = Indexable(name=f"a{i}"), Indexable(name=f"b{i}")
        a.x, b.x = b, a
        idx.add_object(a)
    gc.collect()
    assert len(idx.collect()) == 100
    assert eq(idx, "x.name", "b7") == ["a7"]
    assert eq(idx, "x.x.name", "a7") == []  # the path does not lead back into its owner
    assert idx.reduced_query(Q.eq("name", "a3")).collect()[0].x.x.name == "a3"


def test_collected_cycles_release_their_ids_and_memory():
    out = run_isolated("""
        import gc, resource
        from Calderwick import Indexable
        class C(Indexable):
            freed = 0
            def __del__(self):
                C.freed += 1
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096
        def round_():
            for _ in range(50_000):
                a, b = C(), C()
                a.x, b.x = b, [a]
        round_(); gc.collect(); base = rss()
        for _ in range(3):
            round_()
            gc.collect()
        print(C.freed, rss() - base)
    """, timeout=300)
    freed, growth = map(int, out.split())
    assert freed == 4 * 100_000
    if not SANITIZED:
        assert growth < 10 * 2**20


@pytest.mark.parametrize("breaks", ["emptied", "replaced", "narrowed"])
def test_deep_paths_are_exact_again_once_a_cycle_is_broken(breaks):
    # Filed while o1 and o3 held each other, o3 -> o1 stopped below o0 (it
    # led back into its owner); once the cycle goes, o0.o.o is o1 again.
    o0, o1, o3 = Indexable(a="", g=1), Indexable(a=0, g=1), Indexable(g=1)
    idx = Index()
    idx.add_object_many([o0, o1, o3])
    o1.o = [o3]
    o3.o = o1
    o0.o = o3
    assert idx.reduced_query(Q.eq("o.a", 0)).collect() == [o3]
    if breaks == "emptied":
        o1.o = []
    elif breaks == "replaced":
        o1.o = Indexable(a=5)
    else:
        o1.g = 0
        idx.reduce(g=1)
    assert idx.reduced_query(Q.eq("o.o.a", 0)).collect() == [o0]
    assert idx.reduced_query(Q.eq("o.a", 0)).collect() == [o3]
    # The path still follows later assignments.
    o3.o = Indexable(a="z")
    assert idx.reduced_query(Q.eq("o.o.a", 0)).collect() == []
    assert idx.reduced_query(Q.eq("o.o.a", "z")).collect() == [o0]
