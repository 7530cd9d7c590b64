"""The commands' option tables as the README gives them, made from the same
rows as their flags."""

from __future__ import annotations

from collections.abc import Iterable

from velmar import options as table

HEADER = "| Option | Default | Meaning |\n|---|---|---|"


def usage(flag: table.Flag) -> str:
    """`-o`, `--output FILE`: the flag's names, the last with its values."""
    names = [f"`{name}`" for name in flag.names]
    if not flag.names[0].startswith("-"):
        return f"`{flag.label}`"
    metavar = flag.settings.get("metavar")
    if metavar is not None:
        words = " ".join(metavar) if isinstance(metavar, tuple) else metavar
        names[-1] = f"`{flag.names[-1]} {words}`"
    return ", ".join(names)


def row(option: table.Option) -> str:
    flags = " / ".join(usage(flag) for flag in option.flags)
    return f"| {flags} | {option.default_text} | {option.flags[0].help} |"


def markdown(options: Iterable[table.Option]) -> str:
    return "\n".join([HEADER, *(row(option) for option in options if option.flags)])


def readme_tables() -> list[str]:
    """The README's option tables, in its order: velmar's, velmar batch's,
    velmar check's, velmar export's, velmar run's."""
    from velmar.cli import common, export_command, record_command, run_command
    return [markdown(record_command.FLAGS),
            markdown((*table.BATCH_OPTIONS, *common.REPORTING)),
            markdown(table.CHECK_OPTIONS),
            markdown((*export_command.OPTIONS, *common.REPORTING)),
            markdown(run_command.FLAGS)]
