"""Pickling and copying of `Profile`, `Tree` and `Index`.

The module's types are immutable and have no constructor taking their state,
so they are registered with `copyreg`: `pickle`, `copy`, `multiprocessing`,
`concurrent.futures` and Dask then all move them through a compact form.

- A profile travels as its ten parameters in declaration order (the array
  form of its record).
- A tree travels as its `to_bytes()` form (profile, depth and the tree's
  shape, about a third of a byte per canonical cell), read back by
  `Tree.from_bytes`, which recomputes the root. Pickles made before that
  form, holding the canonical cells packed little-endian uint64 with the
  depth and the profile, still load.
- An index travels as its `to_bytes()` form, which holds the profile once and
  reads every tree back with one shared hashing context; earlier pickles,
  holding its trees and its keys with their trees' positions, still load.

Rebuilding validates like any call: a damaged or hand-made form raises
`ValueError`, `TypeError` or `OverflowError`, never yields a wrong tree.
(Unpickling untrusted bytes stays unsafe in itself, as always with pickle.)
"""

from __future__ import annotations

import copyreg
from typing import Any

import numpy as np

from zarel._zarel import Index, Profile, Tree

# Declaration order, which is also the order `Profile.from_dict` reads an array in.
_PROFILE_FIELDS = (
    "hash",
    "aperture",
    "n_base",
    "lon_0_udeg",
    "north_square",
    "south_square",
    "a_um",
    "inv_f_nano",
    "tick_us",
    "epoch_us",
)


def _profile_state(profile: Profile) -> tuple[Any, ...]:
    record = profile.to_dict()
    return tuple(record[name] for name in _PROFILE_FIELDS)


def _profile_from_state(state: tuple[Any, ...]) -> Profile:
    return Profile.from_dict(list(state))


def _tree_from_bytes(data: bytes) -> Tree:
    return Tree.from_bytes(data)


# The form of earlier pickles.
def _tree_from_state(cells: bytes, depth: int, profile: tuple[Any, ...]) -> Tree:
    if not isinstance(cells, bytes) or len(cells) % 8:
        raise ValueError("a pickled Tree holds its cells as bytes, 8 per cell")
    cids = np.frombuffer(cells, dtype="<u8").astype(np.uint64)
    return Tree.from_cells(cids, depth, _profile_from_state(profile))


def _reduce_profile(profile: Profile) -> tuple[Any, ...]:
    return _profile_from_state, (_profile_state(profile),)


def _reduce_tree(tree: Tree) -> tuple[Any, ...]:
    return _tree_from_bytes, (tree.to_bytes(),)


# The form of earlier pickles: the stored trees, and the keys with their trees' positions.
def _index_from_state(trees: list[Tree], keys: list[tuple[str, int]]) -> Index:
    if not all(isinstance(tree, Tree) for tree in trees):
        raise TypeError("a pickled Index holds its stored trees as Trees")
    index = Index()
    named = {position for _, position in keys}
    if keys:
        # A tree no key names was registered under some key that moved on:
        # register it under the first key, which then moves to its own tree.
        for position, tree in enumerate(trees):
            if position not in named:
                index.add(keys[0][0], tree)
    for key, position in keys:
        if not 0 <= position < len(trees):
            raise ValueError(f"a pickled Index names tree {position} of {len(trees)}")
        index.add(key, trees[position])
    if index.distinct_roots != len(trees):
        raise ValueError("a pickled Index holds trees its keys cannot account for")
    return index


def _index_from_bytes(data: bytes) -> Index:
    return Index.from_bytes(data)


def _reduce_index(index: Index) -> tuple[Any, ...]:
    # One call reads trees and keys together, so a concurrent add or remove
    # cannot leave a key naming a tree the form lacks.
    return _index_from_bytes, (index.to_bytes(),)


copyreg.pickle(Profile, _reduce_profile)
copyreg.pickle(Tree, _reduce_tree)
copyreg.pickle(Index, _reduce_index)
