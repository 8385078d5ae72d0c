"""`python -m quorvel`: the `quorvel` command."""

import sys

from quorvel.cli import main

sys.exit(main())
