"""Load, faults, nesting and fork, each in a fresh interpreter with a deadline: a deadlock fails the test instead of
hanging the run, and a crash shows as the child's exit status. Every script checks its own results against the
same calls made once beforehand on a quiet pool (or against the NumPy reference) and prints "ok" last."""
import os

import pytest

from conftest import run_python

pytestmark = pytest.mark.stress

PRELUDE = """
import os, sys, threading
import numpy as np, korvex
sys.path.insert(0, {tests!r})
P, C = korvex.PyProjection, korvex.PyPoly3DCollection
rng = np.random.default_rng(2024)
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")  # its quarantine keeps freed memory resident

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def check_growth(start, bound=48 << 20):
    grown = resident() - start
    assert SANITIZED or grown < bound, f"resident memory grew by {{grown}} bytes"
    return grown

def polygons(count, sizes):
    return [rng.normal(size=(int(k), 3)) for k in rng.choice(sizes, size=count)]

def outcome(c, m):
    return np.float64(c.do_3d_projection(m)).tobytes(), [s.tobytes() for s in c.get_sorted_segments_2d()]
"""

THREADS = """
sys.setswitchinterval(1e-6)  # switch threads between calls as often as the interpreter allows
polys = polygons(160, [3, 4, 9, 1100])
mats = [rng.normal(size=(4, 4)) for _ in range(4)]
pts = rng.normal(size=(3, 3001))
expected = [outcome(C(polys), m) for m in mats]
points = [P.proj_transform(*pts, m) for m in mats]
shared, errors = C(polys), []

def worker(k):
    own = C(polys)
    try:
        for it in range(100):
            i = (k + it) % 4
            assert outcome(own, mats[i]) == expected[i]
            assert np.float64(shared.do_3d_projection(mats[i])).tobytes() == expected[i][0]
            # Another thread may have projected since: the segments are those of one whole projection.
            assert [s.tobytes() for s in shared.get_sorted_segments_2d()] in [e[1] for e in expected]
            assert all(np.array_equal(a, b) for a, b in zip(P.proj_transform(*pts, mats[i]), points[i]))
    except BaseException as e:
        errors.append(repr(e))

for phase in range(2):  # the first phase builds the working set; the second must not grow it
    threads = [threading.Thread(target=worker, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a thread is stuck"
    assert not errors, errors[:3]
    if phase == 0:
        start = resident()
print("grew", check_growth(start, 8 << 20), "ok")
"""

FAULTS = """
xs, ys, zs = rng.normal(size=(3, 2000))
m = rng.normal(size=(4, 4))
good = [a.tobytes() for a in P.proj_transform(xs, ys, zs, m)]
polys = polygons(150, [3, 5, 9])
bad = list(polys)
bad[77] = np.zeros((4, 2))  # no z column: an index fault in the middle of the per-polygon loop
coll, bad_coll = C(polys), C(bad)
want = outcome(coll, m)
faults = 0
start = None
for i in range(10000):
    if i == 500:
        start = resident()
    if i % 2 == 0:
        assert [a.tobytes() for a in P.proj_transform(xs, ys, zs, m)] == good, i
    else:
        try:
            P.proj_transform(xs, ys[: 1999 - i % 700], zs, m)
        except BaseException as e:
            assert type(e).__name__ == "PanicException" and "index out of bounds" in str(e), repr(e)
            faults += 1
    if i % 10 == 0:
        try:
            bad_coll.do_3d_projection(m)
        except BaseException as e:
            assert type(e).__name__ == "PanicException", repr(e)
            faults += 1
        assert outcome(coll, m) == want, i
assert faults == 6000, faults
print("grew", check_growth(start, 16 << 20), "ok")
"""

NESTED = """
from test_collection import collection_ref
polys = polygons(140, [1001, 1200, 1601, 3])
m = rng.normal(size=(4, 4))
c = C(polys)
for mode in ("average", "min", "max"):
    segments, depths, order = collection_ref(polys, m, mode)
    want = [segments[k].tobytes() for k in order]
    c.set_zsort(mode)
    for _ in range(8):
        c.do_3d_projection(m)
        assert [s.tobytes() for s in c.get_sorted_segments_2d()] == want, mode
print("ok")
"""

FORK = """
import time, warnings
warnings.filterwarnings("ignore", ".*multi-threaded.*fork", DeprecationWarning)  # the point of this test
xs, ys, zs = rng.normal(size=(3, 4000))
m = rng.normal(size=(4, 4))
polys = polygons(200, [3, 7, 1500])
want_points = [a.tobytes() for a in P.proj_transform(xs, ys, zs, m)]
want = outcome(C(polys), m)
stop, failures = threading.Event(), []

def busy():  # keeps the parent's pool working between the forks
    c = C(polys)
    try:
        while not stop.is_set():
            assert [a.tobytes() for a in P.proj_transform(xs, ys, zs, m)] == want_points
            assert outcome(c, m) == want
    except BaseException as e:
        failures.append(repr(e))

runner = threading.Thread(target=busy, daemon=True)  # a failure here must not wait for it
runner.start()
for _ in range(12):
    pid = os.fork()
    if pid == 0:
        ok = [a.tobytes() for a in P.proj_transform(xs, ys, zs, m)] == want_points and outcome(C(polys), m) == want
        sys.exit(0 if ok else 3)  # a normal exit: the interpreter finalises with the child's pool alive
    deadline = time.monotonic() + 60
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0:
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            raise AssertionError("forked child hangs")
        time.sleep(0.01)
    assert os.waitstatus_to_exitcode(done[1]) == 0, os.waitstatus_to_exitcode(done[1])
stop.set()
runner.join(timeout=60)
assert not runner.is_alive() and not failures, failures
print("ok")
"""

TESTS = os.path.dirname(os.path.abspath(__file__))


@pytest.mark.parametrize(
    "script, threads",
    [(THREADS, "3"), (FAULTS, "7"), (NESTED, "1"), (NESTED, "7"), (FORK, "3")],
    ids=["threads", "faults", "nested-1", "nested-7", "fork"],
)
def test_stress(script, threads):
    proc = run_python(PRELUDE.format(tests=TESTS) + script, env={"RAYON_NUM_THREADS": threads}, timeout=240)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.split()[-1] == "ok", proc.stdout
