"""Point projection (plain, clipped, inverse) against a reference that follows the same order of operations."""
import math

import numpy as np
import pytest

from conftest import P, assert_bits_equal, raises, run_python

SPECIAL = np.array([0.0, -0.0, 1.0, -1.0, 0.5, 5e-324, 1e-310, 1e300, -1e300, np.inf, -np.inf, np.nan])


def project_ref(xs, ys, zs, m):
    """The per-point rule: row sums from +0.0, left to right, one division by w, zero weight gives 0.0."""
    n = len(xs)
    xs, ys, zs = xs[:n], ys[:n], zs[:n]
    with np.errstate(all="ignore"):
        v = [(((0.0 + m[r, 0] * xs) + m[r, 1] * ys) + m[r, 2] * zs) + m[r, 3] for r in range(4)]
        w = v[3]
        return tuple(np.where(w == 0.0, 0.0, v[r] / w) for r in range(3))


def invert_ref(m):
    """Gauss-Jordan with partial pivoting, in NumPy scalars so that a zero pivot gives IEEE results."""
    a = [[np.float64(m[r, c]) for c in range(4)] for r in range(4)]
    inv = [[np.float64(r == c) for c in range(4)] for r in range(4)]
    with np.errstate(all="ignore"):
        for j in range(4):
            s = j
            if j < 3:
                best = abs(a[j][j])
                for r in range(j + 1, 4):
                    if abs(a[r][j]) > best:
                        s, best = r, abs(a[r][j])
            a[j], a[s] = a[s], a[j]
            inv[j], inv[s] = inv[s], inv[j]
            pivot = a[j][j]
            a[j] = [x / pivot for x in a[j]]
            inv[j] = [x / pivot for x in inv[j]]
            for r in range(4):
                if r != j:
                    f = a[r][j]
                    a[r] = [a[r][c] - a[j][c] * f for c in range(4)]
                    inv[r] = [inv[r][c] - inv[j][c] * f for c in range(4)]
    return np.array(inv, dtype=np.float64)


def random_points(rng, n, special=True):
    pts = rng.normal(scale=3.0, size=(3, n))
    if special and n:
        mask = rng.random(size=(3, n)) < 0.05
        pts[mask] = rng.choice(SPECIAL, size=mask.sum())
    return pts


def random_matrix(rng, special=False):
    m = rng.normal(size=(4, 4))
    if special:
        mask = rng.random(size=(4, 4)) < 0.15
        m[mask] = rng.choice(SPECIAL, size=mask.sum())
    return m


@pytest.mark.parametrize("n", [0, 1, 7, 999, 1000, 1001, 4097])
@pytest.mark.parametrize("special", [False, True])
def test_proj_transform_bit_exact(rng, n, special):
    xs, ys, zs = random_points(rng, n)
    m = random_matrix(rng, special)
    out = P.proj_transform(xs, ys, zs, m)
    assert isinstance(out, tuple) and len(out) == 3
    for got, want in zip(out, project_ref(xs, ys, zs, m)):
        assert got.dtype == np.float64 and got.shape == (n,)
        assert_bits_equal(got, want)


def test_identity_turns_negative_zero_positive():
    xs = np.array([-0.0, 1.5, -2.0])
    out = P.proj_transform(xs, xs, xs, np.eye(4))
    assert np.array_equal(out[0], xs) and math.copysign(1.0, out[0][0]) == 1.0


def test_zero_weight_and_infinite_coordinates():
    m = np.eye(4)
    m[3] = 0.0
    out = P.proj_transform(np.array([1.0, 2.0]), np.array([3.0, 4.0]), np.array([5.0, 6.0]), m)
    assert all(np.array_equal(o, [0.0, 0.0]) for o in out)
    # 0 * inf in the weight's row product is NaN, so an infinite coordinate gives NaN everywhere.
    out = P.proj_transform(np.array([np.inf]), np.array([1.0]), np.array([1.0]), np.eye(4))
    assert all(np.isnan(o[0]) for o in out)


def test_first_1000_points_equal_on_both_paths(rng):
    xs, ys, zs = random_points(rng, 1001)
    m = random_matrix(rng)
    big = P.proj_transform(xs, ys, zs, m)
    small = P.proj_transform(xs[:1000], ys[:1000], zs[:1000], m)
    for a, b in zip(big, small):
        assert_bits_equal(a[:1000], b)


@pytest.mark.parametrize("method", ["proj_transform", "inv_transform", "proj_transform_clip"])
def test_extra_ys_ignored_missing_ys_is_a_fault(method):
    extra = (1.0,) if method == "proj_transform_clip" else ()
    f = getattr(P, method)
    out = f(np.ones(3), np.ones(4), np.ones(5), np.eye(4), *extra)
    assert all(o.shape == (3,) for o in out)
    for ys, zs in [(np.ones(2), np.ones(3)), (np.ones(3), np.ones(2))]:
        with pytest.raises(BaseException, match="index out of bounds") as info:
            f(np.ones(3), ys, zs, np.eye(4), *extra)
        assert type(info.value).__name__ == "PanicException"
    # Above the parallel threshold the fault surfaces the same way.
    with pytest.raises(BaseException, match="index out of bounds"):
        f(np.ones(3000), np.ones(2999), np.ones(3000), np.eye(4), *extra)


@pytest.mark.parametrize("shape", [(3, 4), (4, 3), (1, 1)])
@pytest.mark.parametrize("method", ["proj_transform", "inv_transform", "proj_transform_clip"])
def test_small_matrix(method, shape):
    extra = (1.0,) if method == "proj_transform_clip" else ()
    f = getattr(P, method)
    m = np.ones(shape)
    with pytest.raises(BaseException, match="index out of bounds"):
        f(np.ones(2), np.ones(2), np.ones(2), m, *extra)
    if method == "inv_transform":
        # The inversion runs even without points.
        with pytest.raises(BaseException, match="index out of bounds"):
            f(np.ones(0), np.ones(0), np.ones(0), m)
    else:
        out = f(np.ones(0), np.ones(5), np.ones(0), m, *extra)
        assert all(o.shape == (0,) for o in out)


def test_only_top_left_block_is_read(rng):
    m = random_matrix(rng)
    big = rng.normal(size=(5, 6))
    big[:4, :4] = m
    xs, ys, zs = random_points(rng, 50)
    for f in (P.proj_transform, P.inv_transform):
        a, b = f(xs, ys, zs, m), f(xs, ys, zs, big)
        assert all(np.array_equal(u, v, equal_nan=True) for u, v in zip(a, b))


# ---- clipped projection ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("n", [0, 1, 50, 1500])
@pytest.mark.parametrize("focal", [1.0, -2.5, np.nan, np.inf, -np.inf])
def test_clip_coordinates_equal_proj_transform(rng, n, focal):
    xs, ys, zs = random_points(rng, n)
    m = random_matrix(rng, special=True)
    *coords, mask = P.proj_transform_clip(xs, ys, zs, m, focal)
    assert mask.dtype == np.bool_ and mask.shape == (n,)
    for got, want in zip(coords, P.proj_transform(xs, ys, zs, m)):
        assert_bits_equal(got, want)
    if math.isinf(focal):
        assert mask.all()
    else:
        tx, ty, tz = coords
        with np.errstate(invalid="ignore"):
            assert np.array_equal(mask, (np.abs(tx) <= 1) & (np.abs(ty) <= 1) & (tz <= 0))


@pytest.mark.parametrize(
    "point, visible",
    [
        ((1.0, -1.0, 0.0), True),
        ((1.0000000000000002, 0.0, 0.0), False),
        ((0.0, -1.0000000000000002, 0.0), False),
        ((0.0, 0.0, 5e-324), False),
        ((0.0, 0.0, -1e300), True),
        ((np.nan, 0.0, 0.0), False),
    ],
)
def test_clip_bounds_are_inclusive(point, visible):
    xs, ys, zs = (np.array([v]) for v in point)
    *_, mask = P.proj_transform_clip(xs, ys, zs, np.eye(4), 1.0)
    assert mask[0] == visible
    *_, mask = P.proj_transform_clip(xs, ys, zs, np.eye(4), np.inf)
    assert mask[0]


def test_clip_zero_weight_is_visible_origin():
    m = np.eye(4)
    m[3] = 0.0
    tx, ty, tz, mask = P.proj_transform_clip(np.array([5.0]), np.array([5.0]), np.array([5.0]), m, 1.0)
    assert (tx[0], ty[0], tz[0], mask[0]) == (0.0, 0.0, 0.0, True)


# ---- inverse ---------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("special", [False, True])
def test_inverse_bit_exact_against_reference(rng, special):
    for _ in range(40):
        m = random_matrix(rng, special)
        xs, ys, zs = random_points(rng, 20)
        out = P.inv_transform(xs, ys, zs, m)
        for got, want in zip(out, project_ref(xs, ys, zs, invert_ref(m))):
            assert_bits_equal(got, want)


def test_inverse_pivot_ties_choose_lowest_row():
    m = np.array([[0.0, 1, 2, 3], [5, 1, 0, 2], [5, 2, 1, 0], [1, 0, 3, 1]])
    xs, ys, zs = np.array([0.3, -1.0]), np.array([2.0, 0.5]), np.array([1.0, 4.0])
    for got, want in zip(P.inv_transform(xs, ys, zs, m), project_ref(xs, ys, zs, invert_ref(m))):
        assert_bits_equal(got, want)
    # Row 2 as first pivot would give different last bits for this matrix.
    swapped = invert_ref(m[[0, 2, 1, 3]])
    assert not np.array_equal(invert_ref(m), swapped[:, [0, 2, 1, 3]])


def test_inverse_examples():
    xs = np.array([0.0, 0.5, 1.0])
    out = P.inv_transform(xs, xs, xs, P.world_transformation(0, 2, 0, 2, 0, 2))
    assert all(np.array_equal(o, [0.0, 1.0, 2.0]) for o in out)
    out = P.inv_transform(np.array([-0.0, 3.0]), np.array([1.0, 2.0]), np.array([4.0, 5.0]), np.eye(4))
    assert np.array_equal(out[0], [0.0, 3.0]) and math.copysign(1.0, out[0][0]) == 1.0
    out = P.inv_transform(np.ones(3), np.ones(3), np.ones(3), np.zeros((4, 4)))
    assert all(np.isnan(o).all() for o in out)
    m = np.diag([1.0, 1.0, 1.0, 2.0])
    m[3, 0] = 1.0  # inverse weight row is (-0.5, 0, 0, 0.5): x = 1 gives weight 0
    out = P.inv_transform(np.array([1.0]), np.array([7.0]), np.array([7.0]), m)
    assert [o[0] for o in out] == [0.0, 0.0, 0.0]


def test_inverse_round_trip(rng):
    m = P.persp_transformation(-1.0, 1.0, 1.5) @ P.world_transformation(-2, 3, -1, 4, 0, 5)
    xs, ys, zs = random_points(rng, 200, special=False)
    back = P.inv_transform(*P.proj_transform(xs, ys, zs, m), m)
    for a, b in zip(back, (xs, ys, zs)):
        np.testing.assert_allclose(a, b, rtol=1e-9, atol=1e-9)


# ---- the worker pool, seen from Python ------------------------------------------------------------------------

POOL_SCRIPT = """
import hashlib, os, numpy as np, korvex
P = korvex.PyProjection
rng = np.random.default_rng(7)
xs, ys, zs = rng.normal(size=(3, {n}))
m = rng.normal(size=(4, 4))
before = len(os.listdir("/proc/self/task"))
out = P.proj_transform(xs, ys, zs, m)
after = len(os.listdir("/proc/self/task"))
names = sorted(open(f"/proc/self/task/{{t}}/comm").read().strip() for t in os.listdir("/proc/self/task"))
print(after - before, hashlib.sha256(b"".join(o.tobytes() for o in out)).hexdigest(), names)
"""


def test_pool_starts_at_first_parallel_call_with_the_requested_size():
    small = run_python(POOL_SCRIPT.format(n=1000), env={"RAYON_NUM_THREADS": "3"})
    assert small.returncode == 0, small.stderr
    assert small.stdout.split()[0] == "0"
    big = run_python(POOL_SCRIPT.format(n=1001), env={"RAYON_NUM_THREADS": "3"})
    assert big.returncode == 0, big.stderr
    assert big.stdout.split()[0] == "3"
    assert "korvex-wk-0" in big.stdout and "korvex-wk-2" in big.stdout and "korvex-wk-3" not in big.stdout


def test_results_identical_across_pool_sizes():
    digests = set()
    for size in ["1", "2", "3", "8"]:
        proc = run_python(POOL_SCRIPT.format(n=100_003), env={"RAYON_NUM_THREADS": size})
        assert proc.returncode == 0, proc.stderr
        digests.add(proc.stdout.split()[1])
    assert len(digests) == 1


def test_forked_child_gets_its_own_pool():
    proc = run_python(
        """
        import os, numpy as np, korvex
        P = korvex.PyProjection
        xs = np.arange(5000.0)
        P.proj_transform(xs, xs, xs, np.eye(4))  # the parent's pool exists now
        pid = os.fork()
        if pid == 0:
            out = P.proj_transform(xs, xs, xs, np.eye(4))
            os._exit(0 if np.array_equal(out[0], xs) else 3)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
        """,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "0"
