import sys

from velmar.cli import main

sys.exit(main())
