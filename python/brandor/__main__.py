"""`python -m brandor`: the `brandor` command."""

from .cli import main

raise SystemExit(main())
