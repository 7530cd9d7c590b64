"""A copy recording's plan, from the checked settings and what the engine's
options say of the source and the output."""

from __future__ import annotations

from functools import partial

from velmar.options import Settings
from velmar.recording.copying.copy_loop import CopyLoop, CopyPlan, CopyRun
from velmar.recording.copying.motion_settings import motion_plan
from velmar.recording.copying.packet_reader import (HeldOpening, longest_wait,
                                                          open_reader)
from velmar.recording.outages import OutageLog


def copy_plan(checked: Settings, engine: dict, held: HeldOpening, events) -> CopyPlan:
    live = engine["live"]
    stall = checked.live.stall_timeout if live else None
    return CopyPlan(
        open_reader=partial(open_reader, str(engine["input_"]), stall,
                            checked.live.rtsp_transport, held),
        live=live, reconnect=checked.live.reconnect, give_up=checked.live.give_up,
        namer=engine["namer"], segmenter=engine["segmenter"],
        frames_per_file=checked.output.frames_per_file or 0,
        duration=checked.output.duration or 0.0, start=engine["start"],
        timestamps=engine["timestamps"], utc_offset=checked.times.utc_offset,
        motion=motion_plan(checked, live, events), open_wait=longest_wait(stall))


def run_copy(checked: Settings, engine: dict, held: HeldOpening, writers, stop: list,
             outages: OutageLog, reports, events) -> CopyRun:
    """`events`, the events log, is told of each motion event; `reports`,
    if any, of progress and of each attempt to open the source again."""
    plan = copy_plan(checked, engine, held, events)
    if reports is None:
        return CopyLoop(plan, writers, stop, outages, None)()
    return CopyLoop(plan, writers, stop, outages, reports.engine, reports.attempt)()
