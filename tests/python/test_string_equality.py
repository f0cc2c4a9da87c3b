"""String equality against a brute-force model while strings move between
being held by one object and by several: bulk loads (queued), assignments
(queued moves), strings inside lists, and a narrowing of the index, whose
counts of shared strings outlive the objects it drops."""
import random

import pytest

from Calderwick import Index, Indexable, PyQueryExpr as Q


def check(index, members, values):
    for v in values:
        want = {id(o) for o in members if o.s == v}
        got = index.reduced_query(Q.eq("s", v)).collect()
        assert {id(o) for o in got} == want, f"eq s {v!r}"
        assert len(got) == len(want), f"eq s {v!r}: duplicates"
        want_tags = {id(o) for o in members if v in o.tags}
        assert {id(o) for o in index.reduced_query(Q.eq("tags", v)).collect()} == want_tags, f"eq tags {v!r}"


@pytest.mark.parametrize("seed", range(6))
def test_string_equality_matches_the_model(seed):
    rng = random.Random(seed)
    pool = []

    def value():
        # Mostly values never used before (held alone), sometimes one already
        # out there (now shared), sometimes the empty string.
        r = rng.random()
        if r < 0.08:
            return ""
        if pool and r < 0.45:
            return rng.choice(pool)
        v = "".join(rng.choice("abcde") for _ in range(rng.randrange(1, 7))) + str(len(pool))
        pool.append(v)
        return v

    def make():
        return Indexable(s=value(), g=0 if rng.random() < 0.8 else 1, tags=[value() for _ in range(rng.randrange(3))])

    index = Index()
    members = []
    narrowed = False
    for round_ in range(12):
        batch = [make() for _ in range(rng.choice([1, 5, 70, 300]))]
        index.add_object_many(batch)
        members.extend(batch)
        for _ in range(rng.randrange(200)):
            o = rng.choice(members)
            if rng.random() < 0.8:
                o.s = value()
            else:
                o.tags = [value() for _ in range(rng.randrange(3))]
        if not narrowed and round_ >= 6:
            index.reduce(g=0)
            members = [o for o in members if o.g == 0]
            narrowed = True
        probes = rng.sample(pool, min(len(pool), 60)) + ["", "zz-none", rng.choice(pool) + "x"]
        check(index, members, probes)
