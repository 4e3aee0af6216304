import sys
from pathlib import Path

# tests/ holds the harness package "support".
sys.path.insert(0, str(Path(__file__).parent))

pytest_plugins = ["support.fixtures"]
