"""The coverage index: 10,000 keys over 1,000 distinct trees of depth 10 with a
few thousand cells each, all in one base cell so that a query meets many of
them. Registering throughput, query latency beside the set operations a query
stands for (one intersection per distinct tree, two differences per tree that
meets the query) done one by one from Python, the query again with a tenth of
the keys, attention at levels 2 and 6, and saving and loading the index with
pickle beside its limit, 8 bytes per canonical cell of the distinct trees and
the time to rebuild those trees with `Tree.from_cells`. Best of several runs each."""

import pickle

import numpy as np

from zarel import Index, Tree
from timing import best

DEPTH, A = 10, 9
N_TREES, N_KEYS = 1_000, 10_000
BASE = 10  # base cell 1


def descendants(rng, parents, level_below, n):
    """n random cells `level_below` levels under randomly chosen parents."""
    cells = rng.choice(parents, n).astype(np.uint64) * np.uint64(A**level_below)
    return cells + rng.integers(0, A**level_below, n, dtype=np.uint64)


def dataset(rng):
    """A cluster of leaves and a few coarser cells under one level-3 cell each."""
    level3 = descendants(rng, np.array([BASE], np.uint64), 3, N_TREES)
    trees = []
    for c in level3:
        leaves = descendants(rng, np.array([c], np.uint64), DEPTH - 3, 2500)
        coarse = descendants(rng, np.array([c], np.uint64), 4, 40)
        trees.append(Tree.from_cells(np.concatenate([leaves, coarse]), DEPTH))
    return trees


def query_tree(rng):
    """A third of base cell 1's level-3 cells whole, and scattered leaves."""
    whole = descendants(rng, np.array([BASE], np.uint64), 3, 250)
    leaves = descendants(rng, np.array([BASE], np.uint64), DEPTH, 20_000)
    return Tree.from_cells(np.concatenate([whole, leaves]), DEPTH)


def set_operations(trees, q):
    met = 0
    for t in trees:
        shared = t.intersect(q)
        if not shared.is_empty():
            met += 1
            t.difference(q)
            q.difference(t)
    return met


def main():
    rng = np.random.default_rng(7)
    trees = dataset(rng)
    q = query_tree(rng)
    keys = [f"dataset-{i:05d}" for i in range(N_KEYS)]
    picks = [trees[i % N_TREES] for i in range(N_KEYS)]

    def build(n):
        index = Index()
        for key, t in zip(keys[:n], picks[:n]):
            index.add(key, t)
        return index

    t_add, index = best(lambda: build(N_KEYS), 3)
    small = build(N_TREES)
    assert index.distinct_roots == N_TREES and len(index) == N_KEYS
    t_ops, met = best(lambda: set_operations(trees, q), 5)
    # The first query a tree meets also counts the tree's leaves, once.
    t_first, _ = best(lambda: index.query(q), 1)
    t_query, hits = best(lambda: index.query(q), 5)
    t_small, small_hits = best(lambda: small.query(q), 5)
    assert len(hits) == met * N_KEYS // N_TREES and len(small_hits) == met
    t_att2, att2 = best(lambda: index.attention(2), 5)
    t_att6, att6 = best(lambda: index.attention(6), 5)

    t_dump, blob = best(lambda: pickle.dumps(index), 3)
    t_load, again = best(lambda: pickle.loads(blob), 3)
    assert again.roots() == index.roots()
    cell_lists = [np.asarray(t.cells(), np.uint64) for t in trees]
    t_rebuild, _ = best(lambda: [Tree.from_cells(c, DEPTH) for c in cell_lists], 3)

    cells = sum(len(c) for c in cell_lists) / N_TREES
    print(f"index: {N_KEYS} keys over {N_TREES} trees, depth {DEPTH}, {cells:.0f} canonical cells a tree")
    print(f"  add:       {N_KEYS / t_add:,.0f} keys/s ({t_add * 1e3:.1f} ms for all)")
    print(f"  query:     {t_query * 1e3:.2f} ms, {len(hits)} hits from {met} meeting trees"
          f" (first query {t_first * 1e3:.2f} ms)")
    print(f"  set ops:   {t_ops * 1e3:.2f} ms ({N_TREES} intersections, {2 * met} differences, one call each)")
    print(f"  ratio:     query / set ops = {t_query / t_ops:.2f} (target at most 1.2)")
    print(f"  {N_TREES} keys: query {t_small * 1e3:.2f} ms ({len(small_hits)} hits)")
    print(f"  pickle:    {len(blob) / 1e6:.2f} MB (limit {8 * cells * N_TREES / 1e6:.2f} MB of cells),"
          f" dump {t_dump * 1e3:.0f} ms, load {t_load * 1e3:.0f} ms"
          f" (rebuilding the {N_TREES} trees alone: {t_rebuild * 1e3:.0f} ms)")
    print(f"  attention: level 2 {t_att2 * 1e3:.2f} ms ({len(att2)} cells), level 6 {t_att6 * 1e3:.2f} ms ({len(att6)} cells)")


if __name__ == "__main__":
    main()
