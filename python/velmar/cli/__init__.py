"""The `velmar` command, its `velmar batch`, `velmar check`, `velmar export`
and `velmar run`,
with one set of exit statuses."""

from __future__ import annotations

import sys

from velmar.cli import record_command
from velmar.reporting.errors import report
from velmar.cli.record_command import DEMO_FOLDER, DEMO_OUTPUT

__all__ = ["main", "DEMO_FOLDER", "DEMO_OUTPUT"]


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else list(argv)
    try:
        if args[:1] == ["batch"]:
            from velmar.cli import batch_command
            return batch_command.main(args[1:])
        if args[:1] == ["run"]:
            from velmar.cli import run_command
            return run_command.main(args[1:])
        if args[:1] == ["export"]:
            from velmar.cli import export_command
            return export_command.main(args[1:])
        if args[:1] == ["check"]:
            from velmar.cli import check_command
            return check_command.main(args[1:])
        return record_command.main(args)
    except KeyboardInterrupt as error:  # before the command could answer it itself
        return report(error)
