"""Equal-area rHEALPix coverages with 32-byte Merkle roots, verifiable set
operations and cell openings."""

from zarel._zarel import *  # noqa: F401,F403
from zarel._zarel import __version__  # noqa: F401

# The batch functions start with an underscore, which `import *` leaves out.
from zarel._zarel import _cell_boundaries, _cell_neighbours, _cells_from_lonlat, _cells_to_lonlat  # noqa: F401
