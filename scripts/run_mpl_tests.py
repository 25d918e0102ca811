"""Matplotlib's own mplot3d tests as the judge: run them as they are, then with korvex_mpl installed.

Matplotlib's wheels ship neither these tests nor their baseline images, so the source distribution of the
installed version is fetched once with pip (`pip download --no-binary :all: --no-deps`, so pip's own index
configuration applies), cached under build/mpl-tests/, and its lib/mpl_toolkits/mplot3d/tests/ directory
extracted. Runs test_axes3d.py, test_art3d.py and test_legend3d.py, shows pytest's failures, prints both
pass/fail counts and every test whose outcome differs between the two runs.

Exits non-zero if a test fails only with korvex. Such a test is run once more as it is, with art3d's argsort made
stable, to help tell why: a baseline image may depend on the order NumPy's default sort (not stable everywhere:
not on x86-64 with AVX-512) leaves among polygons of exactly equal depth, which korvex_mpl takes from that very
sort. If Matplotlib then fails the test too, the difference is likely in the order of such ties; it is still a
failure.

    python scripts/run_mpl_tests.py [extra pytest arguments]
"""
import os
import subprocess
import sys
import tarfile
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

import matplotlib

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "mpl-tests"
TESTS = "lib/mpl_toolkits/mplot3d/tests/"
FILES = ("test_axes3d.py", "test_art3d.py", "test_legend3d.py")
PLUGIN = '''"""Installs korvex_mpl before Matplotlib's tests run."""
import korvex_mpl


def pytest_configure(config):
    korvex_mpl.install()


def pytest_sessionfinish(session):
    from mpl_toolkits.mplot3d import proj3d

    with open("korvex-active.txt", "w") as f:
        f.write(str(korvex_mpl.installed() and getattr(proj3d.proj_transform, "__module__", "") == "korvex_mpl._native"))
'''
STABLE_TIES_PLUGIN = '''"""Matplotlib as it is, but with art3d's argsort stable: exact depth ties end in descending index."""
import numpy as np


def pytest_configure(config):
    from mpl_toolkits.mplot3d import art3d

    stable = type(np)("numpy_with_stable_argsort")
    stable.__dict__.update(np.__dict__)
    stable.argsort = lambda a, axis=-1, kind=None, order=None: np.argsort(a, axis=axis, kind="stable")
    art3d.np = stable
'''
# pip prepares the metadata of every source distribution it downloads. Matplotlib's build backend does that by
# configuring a whole build, which fetches FreeType from outside the package index; the download therefore runs
# without build isolation against this stand-in for the backend, which only copies the name and version that the
# source distribution states in its PKG-INFO. It builds nothing.
METADATA_BACKEND = '''import os
import shutil


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    fields = dict(line.split(": ", 1) for line in open("PKG-INFO").read().splitlines() if ": " in line)
    dist_info = f"{fields['Name']}-{fields['Version']}.dist-info"
    os.mkdir(os.path.join(metadata_directory, dist_info))
    shutil.copy("PKG-INFO", os.path.join(metadata_directory, dist_info, "METADATA"))
    return dist_info
'''
BACKEND_MODULE = "mesonpy"  # the build-backend named in Matplotlib's pyproject.toml


def sdist(version):
    """Path of the cached source distribution of Matplotlib `version`, downloading it with pip if needed."""
    target = CACHE / f"matplotlib-{version}.tar.gz"
    if target.exists():
        return target
    CACHE.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as backend:
        (Path(backend) / f"{BACKEND_MODULE}.py").write_text(METADATA_BACKEND)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [backend, os.environ.get("PYTHONPATH")])))
        subprocess.run([sys.executable, "-m", "pip", "download", "--no-binary", ":all:", "--no-deps",
                        "--no-build-isolation", "--dest", str(CACHE), f"matplotlib=={version}"],
                       env=env, check=True)
    if not target.exists():
        raise SystemExit(f"pip did not leave {target.name} in {CACHE}")
    return target


def extract(archive, version):
    """Directory holding the package `mpl3d_tests` (Matplotlib's mplot3d tests, conftest and baseline images)."""
    base = CACHE / version
    package = base / "mpl3d_tests"
    if not (package / "test_axes3d.py").exists():
        prefix = f"matplotlib-{version}/{TESTS}"
        with tarfile.open(archive) as tar:
            for member in tar.getmembers():
                if member.name.startswith(prefix) and (member.isfile() or member.isdir()):
                    member.name = "mpl3d_tests/" + member.name[len(prefix):]
                    tar.extract(member, base, filter="data")
    (base / "_korvex_plugin.py").write_text(PLUGIN)
    (base / "_stable_ties_plugin.py").write_text(STABLE_TIES_PLUGIN)
    return base


def run(base, label, extra, plugin, tests=None):
    report = base / f"{label}.xml"
    targets = tests if tests is not None else [f"mpl3d_tests/{name}" for name in FILES]
    args = [sys.executable, "-m", "pytest", *targets, "-q", "--tb=short",
            "-rfE", "-p", "no:cacheprovider", "--rootdir", str(base), f"--junitxml={report}", *extra]
    if plugin == "korvex":
        args += ["-p", "_korvex_plugin"]
    elif plugin == "stable-ties":
        args += ["-p", "_stable_ties_plugin"]
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=os.pathsep.join(filter(None, [str(base),
                                                                                     os.environ.get("PYTHONPATH")])))
    print(f"running Matplotlib's mplot3d tests {label} ...", flush=True)
    (base / "korvex-active.txt").unlink(missing_ok=True)
    subprocess.run(args, cwd=base, env=env, check=False)
    if plugin == "korvex" and (base / "korvex-active.txt").read_text() != "True":
        raise SystemExit("korvex_mpl was not installed at the end of the run")
    outcomes = {}
    for case in ET.parse(report).getroot().iter("testcase"):
        kinds = {child.tag for child in case}
        outcome = ("failed" if kinds & {"failure", "error"} else "skipped" if "skipped" in kinds else "passed")
        outcomes[f"{case.get('classname')}::{case.get('name')}"] = outcome
    return outcomes


def counts(outcomes):
    values = list(outcomes.values())
    return {kind: values.count(kind) for kind in ("passed", "failed", "skipped")}


def main(extra):
    version = matplotlib.__version__
    base = extract(sdist(version), version)
    plain = run(base, "as-is", extra, plugin=None)
    korvex = run(base, "with-korvex", extra, plugin="korvex")
    print(f"\nMatplotlib {version} mplot3d tests ({', '.join(FILES)})")
    for label, outcomes in (("as they are", plain), ("with korvex_mpl", korvex)):
        c = counts(outcomes)
        print(f"  {label:16} {c['passed']} passed, {c['failed']} failed, {c['skipped']} skipped")
    changed = sorted(t for t in plain.keys() | korvex.keys() if plain.get(t) != korvex.get(t))
    for test in changed:
        print(f"  {plain.get(test, 'absent'):>8} -> {korvex.get(test, 'absent'):8} {test}")
    only_korvex = [t for t in changed if korvex.get(t) == "failed"]
    if not changed:
        print("  every test has the same outcome in both runs")
    ties = {}
    if only_korvex:
        # pytest node ids of the failed tests: mpl3d_tests/test_x.py::name[param]
        ids = [f"mpl3d_tests/{t.split('::')[0].split('.')[-1]}.py::{t.split('::')[1]}" for t in only_korvex]
        ties = run(base, "stable-ties", extra, plugin="stable-ties", tests=ids)
        for test in only_korvex:
            if ties.get(test) == "failed":
                print(f"  {test}: fails in Matplotlib too once its argsort is stable: likely the order of exact "
                      "depth ties")
    return 1 if only_korvex else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
