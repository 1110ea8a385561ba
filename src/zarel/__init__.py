"""Equal-area rHEALPix coverages with 32-byte Merkle roots, verifiable set
operations and cell openings."""

from zarel._zarel import *  # noqa: F401,F403
from zarel._zarel import __version__  # noqa: F401

# The batch functions start with an underscore, which `import *` leaves out.
from zarel._zarel import _cell_boundaries, _cell_neighbours, _cells_from_lonlat, _cells_to_lonlat  # noqa: F401

# Their array-like front ends, and the pickling of Profile and Tree.
from zarel._batch import (  # noqa: F401
    boundaries_to_polygons,
    cell_boundaries,
    cell_neighbours,
    cell_polygons,
    cells_from_lonlat,
    cells_to_lonlat,
)
from zarel import _pickling  # noqa: F401,E402

# Cell arrays, grid disks, and zone data for a cid, a suid or the enclosing zone.
from zarel._grid import (  # noqa: F401
    cell_children,
    cell_levels,
    cell_parents,
    cells_valid,
    cids_to_suids,
    grid_disk,
    suid_to_cid,
    grid_distance,
    grid_ring,
    suids_to_cids,
    to_dggs_json,
)

# Geometry objects in (shapely, geopandas) and a geo-interface view of a tree; the
# package's polyfill and fingerprint_polygon call their level `level`.
from zarel._geo import GeoTree, fingerprint_polygon, polyfill, tree_from_cells, tree_from_geojson  # type: ignore[assignment] # noqa: F401
from zarel._geo import fingerprint_polygons, polyfill_polygons, roots_hex, trees_from_polygons  # noqa: F401
from zarel._maps import to_geodataframe  # noqa: F401

# Verifiers that also check the roots, cell and operation the caller expects.
from zarel._verify import opening_claim, setop_result  # noqa: F401

__all__ = [
    "MAX_RESOLUTION", "OGC_RHEALPIX", "ZAREL_1", "GeoTree", "Index", "InternalError", "Profile", "Tree",
    "__version__", "boundaries_to_polygons", "cell_area_m2", "cell_at", "cell_boundaries",
    "cell_neighbours", "cell_polygons", "cells_from_lonlat", "cells_geojson", "cells_to_lonlat",
    "cid_to_suid", "fingerprint_polygon", "halo_index", "neighbours", "polyfill", "position",
    "raster_cells", "raster_index", "subzone_at", "subzone_index", "subzones", "suid_to_cid",
    "tree_from_cells", "tree_from_geojson", "verify_opening", "verify_setop",
    "cell_children", "cell_levels", "cell_parents", "cids_to_suids", "dggs_json_zones", "enclosing_zone",
    "grid_disk", "suids_to_cids", "to_dggs_json", "grid_ring", "grid_distance", "cells_valid",
    "fingerprint_polygons", "polyfill_polygons", "roots_hex", "trees_from_polygons",
    "opening_claim", "setop_result",
    "to_geodataframe",
]
