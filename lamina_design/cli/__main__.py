"""``python -m lamina_design.cli``: the ``lamina-design`` command."""
import sys

from lamina_design.cli import main

sys.exit(main())
