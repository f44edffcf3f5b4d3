"""`python -m zorvan`: the same command line as the `zorvan` script."""

from zorvan.cli import main

raise SystemExit(main())
