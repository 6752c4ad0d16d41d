"""Analytics records of a decision-management application: predictive models, their
binning, performance and description, bundles of their files, and query views."""

from importlib.metadata import PackageNotFoundError as _PackageNotFoundError
from importlib.metadata import version as _version

try:
    __version__ = _version("zelvora_analytics_utils")
except _PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

# Submodules are imported by name: `import *` of a package brings nothing.
__all__: list[str] = []
