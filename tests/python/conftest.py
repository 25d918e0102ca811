import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import korvex

P = korvex.PyProjection
C = korvex.PyPoly3DCollection


def raises(exc, message):
    """pytest.raises matching the whole message."""
    return pytest.raises(exc, match="^" + re.escape(message) + "$")


def run_python(code, env=None, timeout=120):
    """Runs code in a fresh interpreter; returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-W", "error", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


def bits(a):
    """The raw bit patterns of a float64 array, for comparisons that see -0.0 and NaN payloads."""
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def assert_bits_equal(a, b):
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    assert a.shape == b.shape
    np.testing.assert_array_equal(bits(a), bits(b))


@pytest.fixture
def rng():
    return np.random.default_rng(12345)
