"""proj_transform against Matplotlib's NumPy path and against copying the inputs, in one run.

    python bench/bench_proj_transform.py
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from _timing import best_time, fmt, run_with_threads  # noqa: E402

import korvex  # noqa: E402
from mpl_toolkits.mplot3d import proj3d  # noqa: E402

P = korvex.PyProjection


def view_matrix():
    world = P.world_transformation(-1, 1, -1, 1, -1, 1)
    return P.persp_transformation(-1.0, 1.0, 1.5) @ world


def main():
    rng = np.random.default_rng(0)
    m = view_matrix()
    print(f"{'N':>10} {'korvex (a)':>13} {'matplotlib (b)':>15} {'copy (c)':>13} {'b/a':>8} {'a/c':>7}")
    for n in [16, 1_000, 100_000, 1_000_000, 4_000_000]:
        xs, ys, zs = rng.uniform(-1, 1, size=(3, n))
        jobs = [
            lambda: P.proj_transform(xs, ys, zs, m),
            lambda: proj3d.proj_transform(xs, ys, zs, m),
            lambda: (xs.copy(), ys.copy(), zs.copy()),
        ]
        # One untimed call of each first: Matplotlib's temporaries raise the allocator's mmap threshold, after
        # which results of this size no longer come from fresh (faulting) pages. Whoever ran first would pay alone.
        for job in jobs:
            job()
        a, b, c = (best_time(job) for job in jobs)
        print(f"{n:>10} {fmt(a):>13} {fmt(b):>15} {fmt(c):>13} {b / a:8.2f} {a / c:7.2f}")

    code = (
        "import sys; sys.path.insert(0, %r)\n"
        "import numpy as np, korvex\n"
        "from _timing import best_time\n"
        "P = korvex.PyProjection\n"
        "xs, ys, zs = np.random.default_rng(1).uniform(-1, 1, size=(3, 4_000_000))\n"
        "m = P.persp_transformation(-1.0, 1.0, 1.5)\n"
        "print(best_time(lambda: P.proj_transform(xs, ys, zs, m)))\n"
    ) % os.path.dirname(os.path.abspath(__file__))
    t1 = float(run_with_threads(code, 1))
    t2 = float(run_with_threads(code, 2))
    print(f"\npool scaling at 4,000,000 points: 1 worker {fmt(t1)}, 2 workers {fmt(t2)}, speed-up {t1 / t2:.2f}x")

    # The high-water mark of resident memory (VmHWM) belongs to the process's own address space; ru_maxrss would
    # start from the parent's peak, which exec carries over.
    code = (
        "import numpy as np, korvex\n"
        "def hwm():\n"
        "    return next(int(l.split()[1]) * 1024 for l in open('/proc/self/status') if l.startswith('VmHWM'))\n"
        "P = korvex.PyProjection\n"
        "n = 5_000_000\n"
        "rng = np.random.default_rng(2)\n"
        "xs, ys, zs = (rng.random(out=np.empty(n)) for _ in range(3))  # no temporaries: the peak so far is the inputs\n"
        "m = P.persp_transformation(-1.0, 1.0, 1.5)\n"
        "P.proj_transform(xs[:2000], ys[:2000], zs[:2000], m)\n"
        "before = hwm()\n"
        "out = P.proj_transform(xs, ys, zs, m)\n"
        "print(hwm() - before, sum(o.nbytes for o in out))\n"
    )
    extra, result_bytes = map(int, run_with_threads(code, 2).split())
    print(f"peak memory of one 5,000,000-point call: {extra / 2**20:.1f} MiB over {result_bytes / 2**20:.1f} MiB "
          f"of results ({extra / result_bytes:.2f}x)")


if __name__ == "__main__":
    main()
