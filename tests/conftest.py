import importlib
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

# ./dev.sh test installs every package the tests import: there a missing one
# fails its tests instead of skipping them, so no oracle drops out of a green run.
if os.environ.get("ZAREL_REQUIRE_PACKAGES"):
    def _import_or_fail(modname, minversion=None, reason=None, **kwargs):
        return importlib.import_module(modname)

    pytest.importorskip = _import_or_fail
