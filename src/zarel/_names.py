"""One word for a grid level across the package.

The package's own functions call a cell level `level`, as the grid helpers and
`cells_from_lonlat` do; the module's methods keep their own argument names
(`Tree.from_cells(cids, depth)`, `Tree.from_geojson(geojson, resolution)`).
Package functions that once took the level under another keyword still accept
it, with a `DeprecationWarning`.
"""

from __future__ import annotations

import functools
import warnings
from collections.abc import Callable
from typing import Any, TypeVar, cast

F = TypeVar("F", bound=Callable[..., Any])


def level_was(old: str) -> Callable[[F], F]:
    """Accept `old=` as a deprecated spelling of `level=`."""

    def wrap(f: F) -> F:
        @functools.wraps(f)
        def renamed(*args: Any, **kwargs: Any) -> Any:
            if old in kwargs:
                if "level" in kwargs:
                    raise TypeError(f"{f.__name__}() got both 'level' and its old name '{old}'")
                warnings.warn(f"{f.__name__}({old}=...) is now {f.__name__}(level=...)", DeprecationWarning,
                              stacklevel=2)
                kwargs["level"] = kwargs.pop(old)
            return f(*args, **kwargs)

        return cast(F, renamed)

    return wrap
