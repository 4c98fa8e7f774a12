"""The random driver (tests/model/driver.py) run by hypothesis, and by fixed fuzz inputs."""

import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from driver import Choices, Program, run_bytes


class DrawnChoices(Choices):
    def __init__(self, data):
        self.below = lambda n: data.draw(st.integers(0, n - 1))


@settings(max_examples=60, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.data())
def test_index_agrees_with_the_model(data):
    Program(DrawnChoices(data)).run(steps=40)


@pytest.mark.parametrize("seed", range(3))
def test_fuzz_inputs_from_fixed_seeds(seed):
    rng = random.Random(seed)
    for _ in range(25):
        run_bytes(rng.randbytes(rng.randrange(8, 600)))
