"""`python3 -m vyxctl`: the controller's command line."""

import signal
import sys

from .cli import main


def run() -> int:
    # Piped into head and the like: end quietly when the reader goes.
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    return main()


if __name__ == "__main__":
    sys.exit(run())
