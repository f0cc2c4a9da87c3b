"""Long and multi-byte strings under every string operator, checked against
Python's own str methods, and attribute names interned from many threads."""
import gc
import random
import sys

import pytest

from conftest import SANITIZED, run_threads
from Calderwick import Index, Indexable, PyQueryExpr as Q


# Symbols of one to four UTF-8 bytes; several share lead bytes.
ALPHABETS = {
    "ascii": "abc ",
    "latin": "aé è",
    "mixed": "a€—😀😁中文é",
}

OPERATORS = {
    "eq": (Q.eq, lambda text, needle: text == needle),
    "ne": (Q.ne, lambda text, needle: text != needle),
    "starts_with": (Q.starts_with, lambda text, needle: text.startswith(needle)),
    "ends_with": (Q.ends_with, lambda text, needle: text.endswith(needle)),
    "contains": (Q.contains, lambda text, needle: needle in text),
}


def random_text(rng, alphabet, length):
    return "".join(rng.choice(alphabet) for _ in range(length))


def make_texts(rng, alphabet, count, longest):
    """Copies of a few long bases, cut and edited, next to unrelated texts,
    so that many strings share characters at the same offsets."""
    bases = [random_text(rng, alphabet, rng.randint(longest // 2, longest)) for _ in range(3)]
    texts = []
    for _ in range(count):
        base = rng.choice(bases)
        kind = rng.randrange(5)
        if kind == 0:
            t = base[: rng.randint(0, len(base))]
        elif kind == 1:
            t = base[rng.randint(0, len(base)):]
        elif kind == 2:
            t = base
        elif kind == 3:
            t = random_text(rng, alphabet, rng.randint(0, longest))
        else:
            t = random_text(rng, alphabet, rng.randint(0, 3))
        if t and rng.random() < 0.5:
            i = rng.randrange(len(t))
            t = t[:i] + rng.choice(alphabet) + t[i + 1:]
        texts.append(t)
    return texts


def needles_for(rng, alphabet, texts):
    out = ["", *alphabet]
    for t in rng.sample(texts, min(6, len(texts))):
        out.append(t)
        if not t:
            continue
        i = rng.randrange(len(t))
        out += [t[i: i + rng.randint(1, 12)], t[: rng.randint(1, len(t))], t[rng.randrange(len(t)):],
                t[:-1] + "\x00", t + t[-1]]
    return out


def check_all(index, objs, needles):
    for name, (make, expected) in OPERATORS.items():
        for needle in needles:
            got = {id(o) for o in index.reduced_query(make("text", needle)).collect()}
            want = {id(o) for o in objs if expected(o.text, needle)}
            assert got == want, f"{name}({needle[:40]!r}...) with {len(needle)} characters"
    for needle in needles[:6]:
        choices = [needle, needle + "x", "zz"]
        got = {id(o) for o in index.reduced_query(Q.in_("text", choices)).collect()}
        assert got == {id(o) for o in objs if o.text in choices}


@pytest.mark.parametrize("alphabet", sorted(ALPHABETS))
@pytest.mark.parametrize("seed", [1] if SANITIZED else [1, 2])
def test_long_and_multibyte_strings_match_python_str_methods(alphabet, seed):
    rng = random.Random(seed)
    symbols = ALPHABETS[alphabet]
    texts = make_texts(rng, symbols, 40, 3000)
    objs = [Indexable(text=t) for t in texts]
    index = Index()
    index.add_object_many(objs[:20])  # bulk path
    for o in objs[20:]:
        index.add_object(o)
    check_all(index, objs, needles_for(rng, symbols, texts))

    # Reassignment removes the old string from every position it occupied;
    # the new values include longer strings, so the index grows meanwhile.
    for _ in range(3):
        for o in rng.sample(objs, 10):
            o.text = rng.choice(make_texts(rng, symbols, 4, 4000))
        check_all(index, objs, needles_for(rng, symbols, [o.text for o in objs]))


@pytest.mark.parametrize("seed", [3, 4])
def test_strings_held_by_objects_by_lists_and_by_queries_answer_alike(seed):
    # A str attribute is held by its reference alone; the elements of a list
    # and the operands of a query each keep a node of their own. Every
    # pairing must answer alike.
    make = str
    rng = random.Random(seed)
    texts = [make(t) for t in make_texts(rng, ALPHABETS["mixed"], 30, 60)] + [make(""), make("\x00a"), make("é")]
    objs = [Indexable(text=t, tags=[t, make(t + "!")]) for t in texts]
    index = Index()
    index.add_object_many(objs[:15])
    for o in objs[15:]:
        index.add_object(o)
    check_all(index, objs, [make(n) for n in needles_for(rng, ALPHABETS["mixed"], texts)])
    for t in texts[:10]:
        got = {id(o) for o in index.reduced_query(Q.eq("tags", t + "!")).collect()}
        assert got == {id(o) for o in objs if o.text + "!" == t + "!"}
    for o, t in zip(objs, texts):
        assert o.text == t and type(o.text) is str
    for o in rng.sample(objs, 12):  # replaced through assignment, then queried again
        o.text = make(rng.choice(texts) + rng.choice("ab€"))
    check_all(index, objs, [make(n) for n in needles_for(rng, ALPHABETS["mixed"], [o.text for o in objs])])


def test_a_string_attribute_holds_one_reference_until_replaced_or_dropped():
    s = "".join(["held ", "by ", "reference é"])  # a fresh str, not interned
    base = sys.getrefcount(s)
    obj = Indexable(text=s)
    assert sys.getrefcount(s) == base + 1
    index = Index()
    index.add_object(obj)
    other = Indexable()
    other.text = s  # by assignment too
    index.add_object(other)
    assert sys.getrefcount(s) == base + 2
    assert {id(o) for o in index.reduced_query(Q.eq("text", s)).collect()} == {id(obj), id(other)}
    assert {id(o) for o in index.reduced_query(Q.contains("text", "reference")).collect()} == {id(obj), id(other)}
    obj.text = "replaced"
    assert sys.getrefcount(s) == base + 1
    del other, index
    gc.collect()
    assert sys.getrefcount(s) == base
    assert obj.text == "replaced"


def test_one_mebibyte_string_is_indexed_queried_and_replaced():
    rng = random.Random(7)
    big = random_text(rng, ALPHABETS["mixed"], 1 << 18)  # about 1 MiB of UTF-8
    assert len(big.encode()) > 1 << 19
    other = big[:-1] + "Z"
    objs = [Indexable(text=big), Indexable(text=other), Indexable(text="short")]
    index = Index()
    for o in objs:
        index.add_object(o)
    middle = big[100000:100040]
    check_all(index, objs, ["", big, other, big[:5000], big[-5000:], middle, "short", "Z"])
    objs[0].text = "tiny"
    check_all(index, objs, [big, middle, "tiny", big[-5000:]])
    assert [id(o) for o in index.reduced_query(Q.contains("text", middle)).collect()] == [id(objs[1])]


def test_names_interned_from_many_threads_resolve_to_their_own_values():
    # Every thread reads unseen names (which interns them), stores and reads
    # back attributes under names shared with other threads, so that the
    # same new names race into the interner from several threads at once.
    names = [f"thread_name_{i}_é" for i in range(3000)]
    stored = {}

    def worker(t):
        def run():
            rng = random.Random(t)
            probe = Indexable()
            mine = []
            for name in rng.sample(names, 1500):
                assert getattr(probe, name, None) is None
                o = Indexable(**{name: f"{t}:{name}"})
                assert getattr(o, name) == f"{t}:{name}"
                mine.append((o, name))
            stored[t] = mine

        return run

    run_threads([worker(t) for t in range(8)])
    for t, mine in stored.items():
        for o, name in mine:
            assert name in dir(o)
            assert getattr(o, name) == f"{t}:{name}"
