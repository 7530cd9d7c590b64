"""What went wrong, on one line of standard error, and its exit status: each
kind of error mapped once, or naming its own status."""

from __future__ import annotations

import sys
from typing import Any

from velmar import options as table
from velmar.value_checks import OptionError
from velmar.recording.results import SourceError
from velmar.shared.stops import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_NOTHING, EXIT_USAGE

STATUSES = {
    OptionError: EXIT_USAGE, ValueError: EXIT_USAGE, TypeError: EXIT_USAGE,
    SourceError: EXIT_NOTHING, FileNotFoundError: EXIT_NOTHING,
    IsADirectoryError: EXIT_NOTHING, KeyboardInterrupt: EXIT_INTERRUPTED,
    BaseException: EXIT_FAILED,
}


def fail(status: int, message: Any, prog: str = "velmar") -> int:
    print(f"{prog}: error: {message}", file=sys.stderr)
    return status


def exit_status(error: BaseException) -> int:
    """The status an error's class names (`exit_status`), else that of the
    most particular of its classes that the map names."""
    for kind in type(error).__mro__:
        if "exit_status" in vars(kind):
            return kind.exit_status
        if kind in STATUSES:
            return STATUSES[kind]
    return EXIT_FAILED


def report(error: BaseException, prog: str = "velmar") -> int:
    """One line on standard error for what went wrong; its exit status."""
    status = exit_status(error)
    if isinstance(error, OptionError):
        message = f"{table.label(error.option)} {error.problem}"
    elif isinstance(error, KeyboardInterrupt):
        message = "interrupted"
    elif isinstance(error, SourceError):  # says itself what could not be opened
        message = str(error)
    elif status == EXIT_NOTHING and isinstance(error, OSError):
        message = f"cannot open input: {error}"
    elif status == EXIT_FAILED:  # a failure while recording: one line, no traceback
        message = f"{type(error).__name__}: {error}"
    else:
        message = str(error)
    return fail(status, table.in_flags(message), prog)
