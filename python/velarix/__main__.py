import sys

from velarix.cli import main

sys.exit(main())
