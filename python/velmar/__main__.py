import sys

from velmar._launch import main

sys.exit(main())
