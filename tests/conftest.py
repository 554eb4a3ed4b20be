import os
import sys

# Run the tests against the installed package: when the source tree holds no built module, drop
# the checkout from the import path so that `halvek` resolves to the installed copy.
_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_BINARIES = os.path.join(_ROOT, "halvek", "algorithms", "src", "brov", "binaries")
if not any(name.startswith("brov_core") for name in os.listdir(_BINARIES)):
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]
if os.path.dirname(os.path.abspath(__file__)) not in sys.path:
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
