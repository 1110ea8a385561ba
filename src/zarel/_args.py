"""Integer arguments of the package's functions, checked before the module sees them.

One wording for every limit: "{name} {value} out of range [{lo}, {hi}]". A
value below zero or past 64 bits is an `OverflowError`, as the module raises
for it; a value the type holds but the function does not take is a
`ValueError`. `True` and `False` are refused where a number is meant.
"""

from __future__ import annotations

import functools
import operator
from collections.abc import Callable
from typing import Any, TypeVar, cast

import numpy as np

MAX_LEVEL = 15  # the deepest polygon fill and point lookup
MAX_THREADS = 1024  # workers of a private pool
MAX_EDGE_POINTS = 65536  # points per edge of a cell boundary
U32 = (1 << 32) - 1
U64 = (1 << 64) - 1


def integer(name: str, value: Any, lo: int = 0, hi: int = U64) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if not lo <= v <= hi:
        error = OverflowError if v < 0 or v > U64 else ValueError
        raise error(f"{name} {v} out of range [{lo}, {hi}]")
    return v


def level(value: Any, hi: int = MAX_LEVEL) -> int:
    return integer("level", value, 0, hi)


def nthreads(value: Any) -> int:
    return integer("nthreads", value, 0, MAX_THREADS)


F = TypeVar("F", bound=Callable[..., Any])


def pooled(f: F) -> F:
    """A private pool that could not start its threads is a RuntimeError, not bad input."""

    @functools.wraps(f)
    def run(*args: Any, **kwargs: Any) -> Any:
        try:
            return f(*args, **kwargs)
        except ValueError as e:
            if str(e).startswith("could not start"):
                raise RuntimeError(str(e)) from None
            raise

    return cast(F, run)
