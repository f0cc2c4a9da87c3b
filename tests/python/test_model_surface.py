"""The whole query surface against the brute-force model, in random programs
(the machine is in surface_machine.py; scripts/model_soak.py runs it for
longer), and the shortest programs it found wrong, kept as they were shrunk."""
import math

import pytest
from hypothesis import HealthCheck, Phase, settings
from hypothesis.stateful import run_state_machine_as_test

from Calderwick import Index, Indexable, PyQueryExpr as Q

from conftest import SANITIZED
from surface_machine import Surface


@pytest.mark.timeout(900)
def test_random_programs_answer_like_the_model():
    examples = 40 if SANITIZED else 300
    run_state_machine_as_test(Surface, settings=settings(
        max_examples=examples, stateful_step_count=60, deadline=None, database=None,
        phases=[Phase.generate, Phase.shrink], suppress_health_check=list(HealthCheck)))


# A member's value, a range query (which builds the ordered keys), an
# assignment, the member added again, another assignment, a range query.
REFILED = [
    (-1.0, 2**63 - 1, 0, Q.gt("a", 2**62), False),
    (100, math.nan, 2.5, Q.ge("a", 1), True),
    (-(2**63), 2**63 - 1, 0, Q.gt("a", 2**62), False),
    (math.nan, -(2**63), True, Q.lt("a", -1), False),
    (0.5, 7, (-7.5,), Q.bt("a", 7, 7), False),
]


@pytest.mark.parametrize("first,then,after,query,found", REFILED)
@pytest.mark.parametrize("again", ["add_object", "add_object_many", "union_with"])
def test_a_member_added_again_keeps_its_answers_exact(first, then, after, query, found, again):
    o = Indexable(a=first)
    idx = Index()
    idx.add_object(o)
    idx.reduced_query(Q.gt("a", 0)).collect()
    o.a = then
    if again == "add_object":
        idx.add_object(o)
    elif again == "add_object_many":
        idx.add_object_many([o, o])
    else:
        other = Index()
        other.add_object(o)
        idx.union_with(other)
    o.a = after
    assert idx.reduced_query(query).collect() == ([o] if found else [])
