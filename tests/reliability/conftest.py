import pathlib
import sys

# The model of the method table and of argument binding lives with the
# module-frame tests; the binding property test checks against it.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "module"))
