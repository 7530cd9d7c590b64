"""Runs one capture session on a file, as a separate process would.

Used by the tests that need a process of its own: a Ctrl-C sent from outside,
or a preview window on a display. Prints the session's result last.
"""

import signal
import sys

import numpy as np

import velmar.ccapture as ccapture


def main(argv):
    # A shell may start background jobs with Ctrl-C ignored; the session
    # under test must see it as any interactive run would.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    source, output, interactive = argv[1], argv[2], argv[3] == "interactive"
    max_frames = int(argv[4]) if len(argv) > 4 else 0
    colour = np.zeros(3, dtype=np.int32)
    result = ccapture.vcapture(
        source, output, "MJPG", -1, interactive, 0, 0, 0, 0, 160, 120,
        0.0, 0.0, max_frames, False, False, 25, 500, 21, True, False,
        colour, colour + 255, 10, 20, 0.5,
    )
    print("result", result, flush=True)


if __name__ == "__main__":
    main(sys.argv)
