"""Shapely polygons of the outline arrays `Tree.outline` makes in the module."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt


def _shapes(xy: npt.NDArray[np.float64] | None = None, rings: npt.NDArray[np.int64] | None = None,
            parts: npt.NDArray[np.int64] | None = None) -> Any:
    """Without arguments, shapely itself (or ImportError naming the extra);
    with them, the Polygon (one part) or MultiPolygon of the flat layout:
    part p is rings `parts[p]:parts[p + 1]`, shell first; ring r is
    `xy[rings[r]:rings[r + 1]]`."""
    try:
        import shapely  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        raise ImportError("Tree.outline needs shapely: pip install 'zarel[shapely]'") from None
    if xy is None or rings is None or parts is None:
        return shapely
    linear = shapely.linearrings(xy, indices=np.repeat(np.arange(len(rings) - 1), np.diff(rings)))
    polygons = []
    for p in range(len(parts) - 1):
        first, last = int(parts[p]), int(parts[p + 1])
        polygons.append(shapely.Polygon(linear[first], linear[first + 1:last]))
    if len(polygons) == 1:
        return polygons[0]
    return shapely.MultiPolygon(polygons)
