"""`velmar check`: each video against its frame log, a line per file, a
summary line and an exit status a script can rely on; with --repair, each
log made to agree with its video."""

from __future__ import annotations

from velmar import options as table
from velmar.cli.common import Parser, add_options, values
from velmar.reporting.errors import fail, report
from velmar.shared.stops import EXIT_FAILED, EXIT_NOTHING, EXIT_OK


def build_parser() -> Parser:
    parser = Parser(
        prog="velmar check",
        description="Check that each video and its CSV log agree, frame for frame, as a "
        "crash may have left them; with --repair, make each log agree with its video.",
        epilog="Exit status: 0 every video and log agree (after repair, with --repair), "
        "1 no log found, 2 bad usage, 3 some do not agree.",
    )
    add_options(parser, table.CHECK_OPTIONS)
    return parser


def line(result) -> str:
    """`capture.mp4: ok`, or what was wrong, and what a repair did."""
    text = result.problem or "ok"
    if result.repaired:
        text += f"; repaired: {result.repaired}"
    return f"{result.video}: {text}"


def summary(results) -> str:
    agree = sum(result.agreed for result in results)
    repaired = sum(result.ok and not result.agreed for result in results)
    files = f"{len(results)} file{'' if len(results) == 1 else 's'}"
    return (f"velmar check: {files}, {agree} agree, {repaired} repaired, "
            f"{len(results) - agree - repaired} do not agree")


def run(parsed) -> int:
    from velmar.checking import check
    given = values(parsed, table.CHECK_OPTIONS)

    def show(result) -> None:
        if not given["quiet"] or result.problem:
            print(line(result), flush=True)

    results = check(given["paths"], repair=given["repair"], progress=show)
    if not results:
        return fail(EXIT_NOTHING, "no frame log found in " + " ".join(given["paths"]))
    if not given["quiet"]:
        print(summary(results))
    return EXIT_OK if all(result.ok for result in results) else EXIT_FAILED


def main(argv: list[str]) -> int:
    try:
        return run(build_parser().parse_args(argv))
    except Exception as error:
        return report(error)
