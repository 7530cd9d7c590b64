"""The live view of one recording in this process: its board, its server
and its feed, started together and ended together."""

from __future__ import annotations

import os
import sys

from velmar.live.board import Board
from velmar.live.feed import Feed
from velmar.live.server import LiveServer
from velmar.recording.outputs import default_name, output_folder


class OneCameraView:
    """Serves at `address` while the recording runs; raises OSError when it cannot listen."""

    def __init__(self, name: str | None, output, address: tuple[str, int],
                 password: str | None, quiet: bool = False):
        self.name = name or default_name(os.fspath(output))
        self.board = Board([self.name])
        self.server = LiveServer(self.board, address, password)
        url = self.server.start()
        if not quiet:
            print(f"velmar: live view at {url}", file=sys.stderr, flush=True)
        self.feed = Feed(lambda report: self.board.receive(self.name, report))
        # The output's pattern names the recordings the page may list and play.
        self.feed.put({"folder": output_folder(os.fspath(output)), "pid": os.getpid(),
                       "output": os.path.abspath(os.fspath(output))})
        self.frame, self.event, self.progress = self.feed.frame, self.feed.event, self.feed.progress

    def close(self, last: dict) -> None:
        self.feed.close(last)
        self.server.stop()
