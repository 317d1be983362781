"""``python -m vorm_zel_audit`` runs the ``vorm-zel`` command."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
