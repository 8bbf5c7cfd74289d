"""`python -m murk`: the same as the `murk` command."""
import sys

from murk.cli import main

if __name__ == "__main__":
    sys.exit(main())
