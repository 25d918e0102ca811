"""Small timing helpers shared by the benchmark scripts."""
import os
import subprocess
import sys
import time


def best_time(fn, min_time=0.2, repeat=5):
    """Best per-call time in seconds over `repeat` rounds of enough calls to last about min_time / repeat."""
    fn()
    loops = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        elapsed = time.perf_counter() - t0
        if elapsed >= min_time / repeat or loops >= 1 << 20:
            break
        loops *= 2
    best = elapsed / loops
    for _ in range(repeat - 1):
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        best = min(best, (time.perf_counter() - t0) / loops)
    return best


def fmt(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:9.2f} us"
    if seconds < 1.0:
        return f"{seconds * 1e3:9.2f} ms"
    return f"{seconds:9.3f} s "


def run_with_threads(code, threads):
    """Runs `code` in a fresh interpreter with a pool of `threads` workers; returns its stdout."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return out.stdout.strip()
