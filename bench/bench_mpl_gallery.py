"""Matplotlib's own gallery scripts that make 3D axes, each drawn alternately with and without korvex_mpl.

    python bench/bench_mpl_gallery.py [--draws N] [--occlusion exact] [NAME ...]

The scripts come from the source distribution of the installed Matplotlib (fetched and cached as
scripts/run_mpl_tests.py does). Each script runs once (plt.show does nothing), then its figures are drawn in turns,
Matplotlib then korvex_mpl, N times each (default 3); per script the ratios Matplotlib / korvex_mpl of the minimum
whole draw and of the minimum 3D core (korvex_mpl.core_timer()), whether the last pictures of both sides are
identical (else the number of differing pixels), and the calls handed back to Matplotlib per draw. Scripts that
fail to run here (one needs LaTeX) are listed as such. Last, the medians and how many scripts are slower.
With --occlusion exact, korvex_mpl draws in its exact occlusion mode (whose pictures differ where Matplotlib's
depth sort is wrong, so the pixel column counts those).
"""
import argparse
import contextlib
import io
import statistics
import sys
import tarfile
import time
import warnings
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from mpl_toolkits.mplot3d import axes3d  # noqa: E402

import korvex_mpl  # noqa: E402
from korvex_mpl import _native  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))
import run_mpl_tests  # noqa: E402

MARKERS = ("projection='3d'", 'projection="3d"', "mplot3d", "Axes3D")


def scripts():
    """{name: source} of the gallery scripts that mention 3D axes."""
    version = matplotlib.__version__
    prefix = f"matplotlib-{version}/galleries/examples/"
    found = {}
    with tarfile.open(run_mpl_tests.sdist(version)) as tar:
        for member in tar.getmembers():
            if member.name.startswith(prefix) and member.name.endswith(".py") and member.isfile():
                source = tar.extractfile(member).read().decode()
                if any(marker in source for marker in MARKERS):
                    found[member.name[len(prefix):]] = source
    return found


def figures_of(name, source):
    plt.close("all")
    np.random.seed(19680801)
    plt.show = lambda *args, **kwargs: None
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")
        exec(compile(source, name, "exec"), {"__name__": "__main__", "__file__": name})
    figures = [plt.figure(n) for n in plt.get_fignums()]
    return figures if any(isinstance(a, axes3d.Axes3D) for f in figures for a in f.axes) else []


OCCLUSION = "sort"


def draw(figures, with_korvex):
    """(whole, core) seconds and the pictures of one draw of every figure."""
    if with_korvex:
        korvex_mpl.install(occlusion=OCCLUSION)
    try:
        with korvex_mpl.core_timer() as core, warnings.catch_warnings():
            warnings.simplefilter("ignore")
            start = time.perf_counter()
            for figure in figures:
                figure.canvas.draw()
            whole = time.perf_counter() - start
    finally:
        if with_korvex:
            korvex_mpl.uninstall()
    return whole, core.core, [np.asarray(f.canvas.buffer_rgba()).copy() for f in figures]


def compare(figures, draws):
    for with_korvex in (False, True):  # first draws build caches on both sides
        draw(figures, with_korvex)
    best = {False: [np.inf, np.inf], True: [np.inf, np.inf]}
    pictures = {}
    before = _native.fallback_counts()
    for _ in range(draws):
        for with_korvex in (False, True):
            whole, core, pictures[with_korvex] = draw(figures, with_korvex)
            best[with_korvex] = [min(best[with_korvex][0], whole), min(best[with_korvex][1], core)]
    after = _native.fallback_counts()
    handed = {k: (after[k] - before[k]) // draws for k in after if after[k] != before[k]}
    differing = sum(int((a != b).any(axis=-1).sum()) for a, b in zip(pictures[False], pictures[True]))
    return best[False][0] / best[True][0], best[False][1] / best[True][1], differing, handed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--draws", type=int, default=3, help="draws per side and script (default 3)")
    parser.add_argument("--occlusion", choices=("sort", "exact"), default="sort",
                        help="korvex_mpl's occlusion mode (default sort)")
    parser.add_argument("names", nargs="*", help="script names (default: all that make 3D axes)")
    args = parser.parse_args()
    global OCCLUSION
    OCCLUSION = args.occlusion
    print(f"Matplotlib {matplotlib.__version__} gallery, min of {args.draws} draws per side; "
          f"ratio = Matplotlib / korvex_mpl (occlusion={OCCLUSION})")
    rows = []
    for name, source in sorted(scripts().items()):
        if args.names and Path(name).name not in args.names:
            continue
        try:
            figures = figures_of(name, source)
            if figures:
                whole, core, differing, handed = compare(figures, args.draws)
                rows.append((whole, core))
                picture = "identical" if differing == 0 else f"{differing} px differ"
                print(f"{name:42} whole {whole:5.2f}x  core {core:6.2f}x  {picture}"
                      + (f"  handed back per draw: {handed}" if handed else ""), flush=True)
        except Exception as error:  # noqa: BLE001 - a script that cannot run here is reported, not fatal
            print(f"{name:42} not run: {type(error).__name__}: {str(error).splitlines()[0]}")
        finally:
            plt.close("all")
    if rows:
        wholes, cores = zip(*rows)
        print(f"{len(rows)} scripts: median whole {statistics.median(wholes):.2f}x (slower: "
              f"{sum(w < 1 for w in wholes)}), median core {statistics.median(cores):.2f}x "
              f"(slower: {sum(c < 1 for c in cores)})")


if __name__ == "__main__":
    main()
