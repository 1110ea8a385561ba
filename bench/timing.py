"""The one timer the benchmarks share: the best of a few runs, with the last result."""
import time


def best(f, repeat=3):
    """(fastest wall time in seconds over `repeat` runs of `f()`, the result of the last run)."""
    times, out = [], None
    for _ in range(repeat):
        t = time.perf_counter()
        out = f()
        times.append(time.perf_counter() - t)
    return min(times), out
