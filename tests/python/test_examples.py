"""The README's snippets and the scripts in examples/ run as a newcomer would run them, and mean something."""
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
SNIPPETS = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)


def run(args, cwd):
    env = dict(os.environ, MPLBACKEND="Agg")
    return subprocess.run([sys.executable, "-W", "error", *args], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=300)


def test_readme_korvex_snippets_project_through_a_view():
    namespace = {}
    for code in (s for s in SNIPPETS if "from korvex import" in s):
        exec(code, namespace)
    xs, ys, zs, M = (namespace[k] for k in ("xs", "ys", "zs", "M"))
    weights = M[3] @ np.stack([xs, ys, zs, np.ones_like(xs)])
    assert np.all(weights != 0.0), weights  # a matrix without a view step gives the data box's corner weight 0
    assert namespace["visible"].all()
    np.testing.assert_allclose(namespace["x0"], xs, atol=1e-12)
    outlines = namespace["outlines"]
    assert len(outlines) == 2 and all(np.ptp(o, axis=0).min() > 0 for o in outlines)
    assert outlines[0].tobytes() != outlines[1].tobytes()


@pytest.mark.parametrize("script", ["quick start"] + sorted(p.name for p in (ROOT / "examples").glob("*.py")))
def test_newcomer_scripts_run(script, tmp_path):
    if script == "quick start":
        proc = run(["-c", next(s for s in SNIPPETS if "korvex_mpl.install()" in s and "savefig" in s)], tmp_path)
        assert proc.returncode == 0, proc.stderr
        assert (tmp_path / "voxels.png").stat().st_size > 0
    else:
        proc = run([str(ROOT / "examples" / script)], tmp_path)
        assert proc.returncode == 0, proc.stderr
