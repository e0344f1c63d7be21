import sys

from landrecords.cli import main

sys.exit(main())
