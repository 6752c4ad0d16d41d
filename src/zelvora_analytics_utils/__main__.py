"""``python -m zelvora_analytics_utils``: the ``zelvora`` command line."""

import sys

from zelvora_analytics_utils.cli import main

if __name__ == "__main__":
    sys.exit(main())
