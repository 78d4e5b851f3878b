"""`python -m tovel_mesk` runs the `tovel-mesk` command."""

import sys

from .cli import main

sys.exit(main())
