"""Running out of memory: in a child process whose address space is capped a
little above what it already uses, calls that need more end as MemoryError (a
verifier as False), never by a signal; records no caller could hold are refused
before any work."""
import os
import subprocess
import sys

import pytest

from zarel import Profile, Tree

# A document of a million small items: some 200 MB as JSON values.
BIG = "[[i, 'ab' * 16] for i in range(1_000_000)]"
CAPPED = [  # (what the child makes first, the call, the outcomes allowed, MiB it may add)
    (f"d = {{'v': 1, 'steps': {BIG}}}", "zarel.verify_setop(d)", {"False"}, 150),
    (f"d = {{'v': 1, 'A': 9, 'B': 6, 'D': 1, 'opening': {{'entries': {BIG}}}}}", "zarel.verify_opening(d)",
     {"False"}, 150),
    (f"d = {{'dggrs': 'x', 'values': {{'v': [{{'data': {BIG}}}]}}}}", "zarel.Tree.from_dggs_json(d)", {"MemoryError"},
     150),
    (f"d = {{'type': 'Polygon', 'coordinates': [{BIG}]}}", "zarel.polyfill(d, 3)", {"MemoryError"}, 150),
    ("P = zarel.Profile(aperture=4096, n_base=1_000_000); a = zarel.Tree.from_cells([4096], 0, P); "
     "b = zarel.Tree.from_cells([], 0, P)", "a.prove(b, 'union')", {"MemoryError"}, 300),
]


@pytest.mark.skipif(bool(os.environ.get("ZAREL_SANITIZED")), reason="sanitizers reserve the address space")
@pytest.mark.parametrize("setup, call, allowed, mib", CAPPED,
                         ids=["verify_setop", "verify_opening", "from_dggs_json", "polyfill", "prove"])
def test_exhaustion_is_an_answer_not_an_abort(setup, call, allowed, mib):
    code = f"""
import resource, zarel
{setup}
with open("/proc/self/statm") as f:
    used = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + ({mib} << 20), resource.RLIM_INFINITY))
try:
    r = {call}
    print(r if r is False else type(r).__name__)
except MemoryError:
    print("MemoryError")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == [*allowed], done.stdout


@pytest.mark.parametrize("method", ["prove", "open"])
def test_records_over_a_million_base_cells_are_refused(method):
    p = Profile(aperture=4096, n_base=1_048_577)
    t = Tree.from_cells([4096], 0, p)
    what = "proof" if method == "prove" else "opening"
    with pytest.raises(ValueError, match=f"^the {what} would list 1048577 base cells, above the maximum 1048576$"):
        t.prove(t, "union") if method == "prove" else t.open(4096)
    # One below the bound is still served.
    q = Profile(aperture=4096, n_base=1 << 20)
    assert len(Tree.from_cells([4096], 0, q).open(4096)["opening"]["entries"]) == 1 << 20
