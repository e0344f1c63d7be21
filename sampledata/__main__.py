import sys

from .loader import main

sys.exit(main())
