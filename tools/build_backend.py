"""Build backend: scikit-build-core, plus the pinned bitmap sources in the sdist.

Every hook is scikit-build-core's own. The one addition: before an sdist is
packed, cmake/fetch_croaring.py unpacks the pinned CRoaring files into
third_party/croaring (a no-op when they are there), and pyproject.toml lists
that directory under sdist.include, so building a wheel from the sdist needs
no network.
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

from scikit_build_core import build as _backend
from scikit_build_core.build import (  # noqa: F401  (re-exported hooks)
    build_editable,
    build_wheel,
    get_requires_for_build_editable,
    get_requires_for_build_sdist,
    get_requires_for_build_wheel,
    prepare_metadata_for_build_editable,
    prepare_metadata_for_build_wheel,
)

_FETCH = Path(__file__).resolve().parent.parent / "cmake" / "fetch_croaring.py"


def build_sdist(sdist_directory: str, config_settings: dict[str, object] | None = None) -> str:
    subprocess.run([sys.executable, str(_FETCH)], check=True)
    return _backend.build_sdist(sdist_directory, config_settings)
