"""proj3d's point functions with korvex_mpl installed against Matplotlib's own, on the sizes Matplotlib draws with.

    python bench/bench_mpl_proj_transform.py

Both sides are called through mpl_toolkits.mplot3d.proj3d, as Matplotlib calls them; korvex_mpl is installed for
one side and not the other, in the same run. Ratio = Matplotlib / korvex_mpl.
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from _timing import best_time, fmt  # noqa: E402

import matplotlib  # noqa: E402

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
from mpl_toolkits.mplot3d import proj3d  # noqa: E402

import korvex_mpl  # noqa: E402


def main():
    rng = np.random.default_rng(0)
    ax = plt.figure().add_subplot(projection="3d")
    ax.view_init(elev=25, azim=-50)
    M = ax.M = ax.get_proj()
    cases = []
    x, y, z = (np.float64(v) for v in rng.uniform(-0.1, 0.1, 3))
    cases.append(("proj_transform, 1 point (scalars)", lambda: proj3d.proj_transform(x, y, z, M)))
    for n in (1, 16, 100):
        xs, ys, zs = rng.uniform(-0.1, 0.1, size=(3, n))
        cases.append((f"proj_transform, {n} points", lambda xs=xs, ys=ys, zs=zs: proj3d.proj_transform(xs, ys, zs, M)))
    xs, ys, zs = rng.uniform(-0.1, 0.1, size=(3, 16))
    vec = proj3d._vec_pad_ones(xs, ys, zs)
    masked = proj3d._vec_pad_ones(np.ma.masked_array(xs, xs > 0.05), ys, zs)
    vecs = rng.uniform(-0.1, 0.1, size=(100, 4, 3))
    cases += [
        ("_proj_transform_vec, 16 points", lambda: proj3d._proj_transform_vec(vec, M)),
        ("_proj_transform_vec_clip, 16 points", lambda: proj3d._proj_transform_vec_clip(vec, M, 1.0)),
        ("_proj_transform_vec_clip, 16 masked", lambda: proj3d._proj_transform_vec_clip(masked, M, 1.0)),
        ("inv_transform, 1 point", lambda: proj3d.inv_transform(x, y, z, ax.invM)),
        ("_scale_proj_transform_vectors, 100x4", lambda: proj3d._scale_proj_transform_vectors(vecs, ax)),
        ("_persp_transformation", lambda: proj3d._persp_transformation(-10.0, 10.0, 1.0)),
        ("world_transformation", lambda: proj3d.world_transformation(0.0, 1.0, 0.0, 2.0, 0.0, 3.0,
                                                                     pb_aspect=np.array([4.0, 4.0, 3.0]))),
    ]
    ax.invM = np.linalg.inv(M)
    print(f"{'':40}{'Matplotlib':>13}{'korvex_mpl':>13}{'ratio':>9}")
    for label, job in cases:
        matplotlibs = best_time(job)
        with korvex_mpl.enabled():
            korvex = best_time(job)
        print(f"{label:40}{fmt(matplotlibs):>13}{fmt(korvex):>13}{matplotlibs / korvex:8.1f}x")


if __name__ == "__main__":
    main()
