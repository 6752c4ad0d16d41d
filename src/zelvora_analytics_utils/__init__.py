"""Analytics records of a decision-management application: predictive models, binning,
bundles and query views."""

from importlib import metadata as _metadata

__version__: str = _metadata.version(__name__)

del _metadata

# Submodules are imported by name: `import *` of a package brings nothing.
__all__: list[str] = []
