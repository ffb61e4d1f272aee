"""Checkout entry point of the dead-letter resend tool (`brindle-resend` once installed)."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from brindle_tools.resend import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
