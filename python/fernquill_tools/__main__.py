import sys

from fernquill_tools.cli import main

sys.exit(main())
