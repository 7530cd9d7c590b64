"""What the commands share: a parser that reports bad usage on one line, the
flags of the option table and the reporting flags."""

from __future__ import annotations

import argparse
import re
import sys
from collections.abc import Iterable
from typing import Any

from velmar import options as table
from velmar.shared.stops import EXIT_USAGE

class UsageError(Exception):
    """Bad input: reported on one line, exit status 2."""

    exit_status = EXIT_USAGE


# A value that argparse would take for a flag: "-1,0,0", "-.5".
NEGATIVE_VALUE = re.compile(r"^-[\d.][\d.,]*$")


class Parser(argparse.ArgumentParser):
    """Reports bad usage on one line, and gives a flag that takes one value a
    value that begins with a minus sign ("--box-color -1,0,0"), which the
    check then judges, instead of "expected one argument"."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.one_value_flags: set[str] = set()

    def error(self, message):
        raise UsageError(message)

    def parse_args(self, args=None, namespace=None):
        args = list(sys.argv[1:] if args is None else args)
        joined: list[str] = []
        for arg in args:
            if joined and joined[-1] in self.one_value_flags and NEGATIVE_VALUE.match(arg):
                joined[-1] = f"{joined[-1]}={arg}"
            else:
                joined.append(arg)
        return super().parse_args(joined, namespace)


def add_options(parser: argparse.ArgumentParser, rows: Iterable[table.Option],
                groups: dict[str, Any] | None = None) -> None:
    """The flags of `rows`, each in its group; `groups` holds the groups
    made so far, and gets those made here, so that other flags can join them."""
    groups = {} if groups is None else groups
    groups.setdefault(None, parser)
    for row in rows:
        if row.group not in groups:
            groups[row.group] = parser.add_argument_group(row.group)
        for position, flag in enumerate(row.flags):
            settings = _settings(row, flag, position)
            groups[row.group].add_argument(*flag.names, **settings)
            if isinstance(parser, Parser) and "action" not in settings and "nargs" not in settings:
                parser.one_value_flags.update(name for name in flag.names
                                              if name.startswith("-"))


def _settings(row: table.Option, flag: table.Flag, position: int) -> dict[str, Any]:
    text = flag.help
    if position == 0 and row.shown_default not in ("", "off", "required"):
        text += f" (default: {row.default_text.replace('`', '')})"
    settings = {"help": text.replace("%", "%%"), **flag.settings}
    if flag.names[0].startswith("-") and settings.get("action") != "version":
        settings["dest"] = row.name
    if position == 0 and "default" not in settings and settings.get("action") != "version":
        settings["default"] = None  # not given: values() takes the row's default
    return settings


def values(parsed: argparse.Namespace, rows: Iterable[table.Option]) -> dict[str, Any]:
    """The options' values: what the flags gave, else the command's default
    from the others, else record()'s."""
    rows = list(rows)
    given = {row.name: _parsed(parsed, row) for row in rows}
    for row in rows:
        if given[row.name] is None:
            given[row.name] = (row.command_default(given) if row.command_default
                               else row.default)
    return given


def _parsed(parsed: argparse.Namespace, row: table.Option) -> Any:
    value = getattr(parsed, row.name)
    convert = next((flag.convert for flag in row.flags if flag.convert), None)
    return convert(value) if convert is not None and value is not None else value


# The commands' own reporting, beside the recording options.
REPORTING = (
    table.Option(name="progress", annotation="bool | None", group="reporting",
                 shown="on when standard error is a terminal", flags=(
                     table.Flag(("--progress",), "the progress bar", {"action": "store_true"}),
                     table.Flag(("--no-progress",), "no progress bar",
                                {"action": "store_false"}),)),
    table.Option(name="quiet", annotation="bool", default=False, group="reporting", flags=(
        table.Flag(("-q", "--quiet"), "print nothing but errors", {"action": "store_true"}),)),
)


def show_progress(parsed: argparse.Namespace) -> bool:
    """On a terminal, unless quiet; --progress shows it elsewhere too."""
    if parsed.progress is None:
        return sys.stderr.isatty() and not parsed.quiet
    return parsed.progress and not parsed.quiet
