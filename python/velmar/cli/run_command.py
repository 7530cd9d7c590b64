"""`velmar run CONFIG.toml`: records every camera of the file, each in a
supervised worker process, with the live view when the file or --http asks
and an MQTT broker told of them when the file or --mqtt names one;
`--check` only checks the file."""

from __future__ import annotations

import sys

from velmar import options as table
from velmar.cli.common import Parser, UsageError, add_options
from velmar.reporting.errors import fail, report
from velmar.shared.stops import EXIT_OK, EXIT_USAGE

PROG = "velmar run"

RUN_OPTIONS = (
    table.Option(name="config", annotation="str", default=table.REQUIRED, flags=(
        table.Flag(("config",), "the file: a [defaults] table and a [[camera]] table per "
                   "camera, each with a name and any option of velmar under its name in "
                   "record()", {"metavar": "CONFIG.toml"}),)),
    table.Option(name="check", annotation="bool", default=False, flags=(
        table.Flag(("--check",), "check the file, print its errors a line each, and start "
                   "nothing (exit status 0, or 2 with errors)", {"action": "store_true"}),)),
    table.Option(name="quiet", annotation="bool", default=False, flags=(
        table.Flag(("-q", "--quiet"), "print only starts, deaths and restarts of the "
                   "workers, and errors", {"action": "store_true"}),)),
)
FLAGS = (*RUN_OPTIONS, *table.LIVE_VIEW_OPTIONS, *table.MQTT_OPTIONS)


def build_parser() -> Parser:
    parser = Parser(
        prog=PROG,
        description="Record every camera of a config file, each in a worker process that is "
        "restarted when it dies, with a live view in the browser.",
        epilog="Exit status: 0 every camera finished, 2 errors in the file (a line each), "
        "3 a camera failed for good, 130 after SIGINT, 143 after SIGTERM or SIGHUP.")
    add_options(parser, FLAGS)
    return parser


def main(argv: list[str]) -> int:
    try:
        parsed = build_parser().parse_args(argv)
        return run(parsed)
    except Exception as error:
        return report(error, PROG)


def run(parsed) -> int:
    from velmar.service.config import ConfigError, load
    overrides = {name: getattr(parsed, name)
                 for name in (*table.LIVE_VIEW_BY_NAME, *table.MQTT_BY_NAME)}
    try:
        config = load(parsed.config, overrides)
    except ConfigError as error:
        for problem in error.problems:
            fail(EXIT_USAGE, problem, PROG)
        return EXIT_USAGE
    if parsed.check:
        count = len(config.cameras)
        print(f"{PROG}: {parsed.config}: {count} camera{'' if count == 1 else 's'}, no errors")
        return EXIT_OK
    return supervise(config, parsed.quiet)


def supervise(config, quiet: bool) -> int:
    from velmar.live.board import Board
    from velmar.recording.signals import noted_signals
    from velmar.service.supervisor import Supervisor

    sys.stdout.reconfigure(line_buffering=True)
    board = Board([camera.name for camera in config.cameras])
    with noted_signals() as received:
        server = None
        if config.http is not None:
            from velmar.live.server import LiveServer
            server = LiveServer(board, config.http, config.http_password)
            try:
                print(f"{PROG}: live view at {server.start()}", file=sys.stderr, flush=True)
            except OSError as error:
                raise UsageError(str(error)) from None
        messenger = None
        try:
            messenger = _messenger(config)
            supervisor = Supervisor(config.cameras, board, quiet, pictures=server is not None,
                                    told=None if messenger is None else messenger.receive)
            return supervisor.run(received)
        finally:
            if messenger is not None:
                messenger.close()
            if server is not None:
                server.stop()


def _messenger(config):
    """The MQTT broker's messenger of all the cameras, started; None without a broker."""
    if config.mqtt is None:
        return None
    from velmar.mqtt.messenger import Messenger
    messenger = Messenger(config.mqtt, config.mqtt_topic, {
        camera.name: camera.options["keep"] == "motion" for camera in config.cameras})
    messenger.start()
    return messenger
