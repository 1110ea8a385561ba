"""Equal-area rHEALPix coverages with 32-byte Merkle roots, verifiable set
operations and cell openings."""

from zarel._zarel import *  # noqa: F401,F403
from zarel._zarel import __version__  # noqa: F401
