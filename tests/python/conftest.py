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
    """The bit patterns of a float64 array, for comparisons that see the sign of zero. Every NaN maps to one
    pattern: the sign and payload of a NaN made by an invalid operation are not fixed by IEEE 754 and differ
    between NumPy builds, so the reference cannot predict them."""
    a = np.array(a, dtype=np.float64)
    a[np.isnan(a)] = np.nan
    return a.view(np.uint64)


def assert_bits_equal(a, b):
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    assert a.shape == b.shape
    np.testing.assert_array_equal(bits(a), bits(b))


@pytest.fixture
def rng():
    return np.random.default_rng(12345)
