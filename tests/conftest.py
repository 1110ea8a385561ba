import importlib
import os
import sys

import pytest
from hypothesis import settings

# Examples are judged by what they compute, never by how long they took: the
# machine running the tests may be busy.
settings.register_profile("zarel", deadline=None)
settings.load_profile("zarel")

sys.path.insert(0, os.path.dirname(__file__))

# ./dev.sh test installs every package the tests import: there a missing one
# fails its tests instead of skipping them, so no oracle drops out of a green run.
if os.environ.get("ZAREL_REQUIRE_PACKAGES"):
    def _import_or_fail(modname, minversion=None, reason=None, **kwargs):
        return importlib.import_module(modname)

    pytest.importorskip = _import_or_fail
