"""``python -m sonavert``: the sonavert command."""

import sys

from ._cli import main

sys.exit(main())
