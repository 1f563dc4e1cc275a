import sys
from pathlib import Path

# The helpers (c2pa_support, limited, ...) live in the parent folder.
sys.path.insert(0, str(Path(__file__).parents[1]))
