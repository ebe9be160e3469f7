import os
import sys

# The reference implementation lives beside the tests.
sys.path.insert(0, os.path.dirname(__file__))
