"""Ctrl-C reaches every call that can run for seconds: SIGINT a tenth of a
second into each call of a child process ends that call with KeyboardInterrupt, and the
child goes on to the next. Each call is sized to run for several seconds."""
import signal
import subprocess
import sys
import threading
import time

import pytest

GROUPS = {
    "batch": (
        "cids = np.arange(9 * 9**12, 9 * 9**12 + 10_000_000, dtype=np.uint64)\n"
        "lon, lat = np.linspace(-179, 179, cids.size), np.linspace(-89, 89, cids.size)",
        ["zarel.cells_from_lonlat(lon, lat, 15, nthreads=1)", "zarel.cells_from_lonlat(lon, lat, 15)",
         "zarel.cells_to_lonlat(cids, nthreads=1)", "zarel.cell_boundaries(cids[:1_000_000], nthreads=1)",
         "zarel.cell_neighbours(cids, nthreads=1)", "zarel.cids_to_suids(cids, nthreads=1)"],
    ),
    "trees": (
        "rng = np.random.default_rng(5)\n"
        "a, b = (Tree.from_cells(rng.integers(9 * 9**10, 15 * 9**10, 3_000_000, dtype=np.uint64), 10)"
        " for _ in range(2))\n"
        "index = zarel.Index()\nindex.add('a', a)\nindex.add('b', b)",
        ["a | b", "a ^ b", "a - b", "a.divergence(b)", "a.prove(b, 'intersect')", "index.attention(10)"],
    ),
    "display": (
        "t = Tree.from_cells(np.arange(9 * 9**7 + 1, 9 * 9**7 + 600_000, 2, dtype=np.uint64), 7)\n"
        "zoned = Tree.from_cells(np.arange(9 * 9**8, 11 * 9**8, 2, dtype=np.uint64), 8)",
        ["t.geojson()", "zarel.cells_geojson(t.cells())", "zarel.dggs_json_zones(zoned, 1)"],
    ),
    "grid": (
        "edge = zarel.cells_from_lonlat([10], [40], 9)\n"
        "ring = [[10 + 5 * np.cos(x), 5 * np.sin(x)] for x in np.linspace(0, 2 * np.pi, 200)]\n"
        "disc = {'type': 'Polygon', 'coordinates': [ring + ring[:1]]}\n"
        "circle = zarel.tree_from_geojson(disc, 12)",
        ["zarel.grid_disk(edge, 4000)", "zarel.grid_disk(np.arange(9 * 9**12, 9 * 9**12 + 5000), 100)",
         "circle.dilate(40)", "zarel.fingerprint_polygons([disc] * 8, 13, progress=lambda *a: None)"],
    ),
    "fills": (
        # A sliver along a long diagonal: cells to visit all along it, no nucleus inside.
        "sliver = {'type': 'Polygon', 'coordinates': [[[-170, -60], [170, 60], [170, 60 + 1e-9], [-170, -60]]]}\n"
        "world = {'type': 'Polygon', 'coordinates': [[[-180, -90], [180, -90], [180, 90], [-180, 90], [-180, -90]]]}",
        ["zarel.polyfill(sliver, 15)", "zarel.fingerprint_polygon(world, 14)", "Tree.from_geojson(world, 15)"],
    ),
}


@pytest.mark.bigmem
@pytest.mark.parametrize("group", GROUPS)
def test_ctrl_c_stops_every_long_call(group):
    setup, calls = GROUPS[group]
    body = "".join(f"try:\n    print('start', flush=True)\n    {c}\n    print('finished', flush=True)\n"
                   f"except KeyboardInterrupt:\n    print('stopped', flush=True)\n" for c in calls)
    # Python keeps SIGINT ignored when it starts so (a test run put in the background):
    # the child installs the handler that raises KeyboardInterrupt itself.
    code = (f"import signal\nimport numpy as np\nimport zarel\nfrom zarel import Tree\n"
            f"signal.signal(signal.SIGINT, signal.default_int_handler)\n{setup}\n{body}")
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # A generous bound for the whole child: a call that ignored the signal would run far past it.
    watchdog = threading.Timer(60 + 30 * len(calls), child.kill)
    watchdog.start()
    answers = []
    try:
        for _ in calls:
            if child.stdout.readline() != "start\n":
                break
            # Early in the call, so that even a fast machine is still inside it.
            time.sleep(0.1)
            child.send_signal(signal.SIGINT)
            answers.append(child.stdout.readline().strip())
        child.wait()
    finally:
        watchdog.cancel()
        child.kill()
    assert answers == ["stopped"] * len(calls), (answers, child.stderr.read()[-2000:])
