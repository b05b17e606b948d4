"""Entry point: ``python3 -m app --no-browser``, run from the directory that holds ``app``."""

import sys

from .server import main

sys.exit(main())
