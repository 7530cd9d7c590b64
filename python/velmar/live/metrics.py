"""The board's facts as Prometheus metrics: each camera's counts as
counters, its state as a gauge with a series per state (1 for the current
one), and the free bytes of the disk it records to. They are read from the
board's status when scraped, so /metrics and /status.json always agree."""

from __future__ import annotations

from prometheus_client import CollectorRegistry
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily

from velmar.live.board import STATES, Board

# (status key, metric name without its _total, help)
COUNTERS = (
    ("frames_read", "velmar_frames_read", "Frames read from the camera by its recording"),
    ("frames_kept", "velmar_frames_written", "Frames written to the camera's videos"),
    ("events", "velmar_events", "Events of motion recorded"),
    ("outages", "velmar_outages", "Outages of the camera's source"),
    ("seconds_away", "velmar_away_seconds", "Seconds the camera's source was away"),
    ("restarts", "velmar_restarts", "Restarts of the camera's worker"),
)


class BoardCollector:
    """Collects a board's metrics anew at every scrape."""

    def __init__(self, board: Board):
        self.board = board

    def collect(self):
        cameras = self.board.status()["cameras"]
        for key, name, text in COUNTERS:
            counter = CounterMetricFamily(name, text, labels=["camera"])
            for camera in cameras:
                counter.add_metric([camera["name"]], camera[key])
            yield counter
        yield _states(cameras)
        free = GaugeMetricFamily("velmar_disk_free_bytes",
                                 "Free bytes of the disk the camera records to",
                                 labels=["camera", "folder"])
        for camera in cameras:
            if "free" in camera["disk"]:
                free.add_metric([camera["name"], camera["disk"]["folder"]],
                                camera["disk"]["free"])
        yield free


def _states(cameras) -> GaugeMetricFamily:
    gauge = GaugeMetricFamily("velmar_state", "1 for the state the camera is in, else 0",
                              labels=["camera", "state"])
    for camera in cameras:
        shown = STATES if camera["state"] in STATES else (*STATES, camera["state"])
        for state in shown:
            gauge.add_metric([camera["name"], state], int(state == camera["state"]))
    return gauge


def board_registry(board: Board) -> CollectorRegistry:
    """A registry of the board's metrics alone, not the process's global one."""
    registry = CollectorRegistry(auto_describe=False)
    registry.register(BoardCollector(board))
    return registry
