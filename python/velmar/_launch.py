"""Start of the velmar command. Until the command is ready to handle it,
Ctrl-C ends the process at once, as for any command, instead of printing a
traceback from the middle of Python's imports."""

import signal

signal.signal(signal.SIGINT, signal.SIG_DFL)


def main():
    from velmar.cli import main as command
    from velmar.shared.lingering import exit_status
    return exit_status(command())
