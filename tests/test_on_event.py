"""Commands run as each event ends: the event in their environment, never
in the recording's way, killed at their time limit, their failures told."""

import os
import sys
import time

import pytest

import velmar
from velmar import cli
from conftest import SPELLS

# Writes its environment's VELMAR_ variables to ev_N.txt, N being the event.
WRITE_ENVIRONMENT = ("import os; n = os.environ['VELMAR_EVENT']; open(f'ev_{n}.txt', 'w')"
                     ".write(repr({k: v for k, v in os.environ.items() if k.startswith('VELMAR_')}))")


def test_each_event_runs_the_command_with_its_fields(spells_clip, in_tmp):
    result = velmar.record(spells_clip, "door.mp4", keep="motion", min_area=100, min_event=0,
                           on_event=[sys.executable, "-c", WRITE_ENVIRONMENT])
    assert len(result.events) == len(SPELLS)
    for event in result.events:
        seen = eval(open(f"ev_{event.event}.txt").read())
        assert seen == {"VELMAR_CAMERA": "door", "VELMAR_EVENT": str(event.event),
                        "VELMAR_START": event.start.isoformat(timespec="microseconds"),
                        "VELMAR_SECONDS": f"{event.seconds:.6f}",
                        "VELMAR_VIDEO": os.path.abspath("door.mp4"),
                        "VELMAR_THUMBNAIL": os.path.abspath(f"door.events.{event.event:03d}.jpg")}
        assert os.path.getsize(seen["VELMAR_THUMBNAIL"]) > 0


@pytest.mark.parametrize("command, line", [
    # The shell's sleep is a child of its own: the whole session is killed.
    ("sh -c 'sleep 60; echo never'", "killed after 1 s"),
    ("sh -c 'exit 3'", "failed: exit status 3"),
])
def test_a_hung_or_failing_command_is_told_and_the_recording_goes_on(
        spells_clip, in_tmp, capfd, command, line):
    began = time.monotonic()
    result = velmar.record(spells_clip, "door.mp4", keep="motion", min_area=100, min_event=0,
                           on_event=command, on_event_timeout=1, name="porch")
    took = time.monotonic() - began
    assert result.frames_read == 100 and len(result.events) == len(SPELLS)
    assert took < 4  # each one waits alone, not one after another
    # The commands run side by side: their lines come in the order they end.
    lines = sorted((text for text in capfd.readouterr().err.splitlines() if "on_event" in text),
                   key=lambda text: int(text.split("for event ")[1].split()[0]))
    assert lines == [f"velmar: porch: on_event for event {n} {line}"
                     for n in range(1, len(SPELLS) + 1)]
    assert not [cmdline for cmdline in command_lines() if cmdline[:2] in (
        [b"sh", b"-c"], [b"sleep", b"60"]) and b"sleep 60" in b" ".join(cmdline)]


def command_lines():
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as file:
                yield file.read().split(b"\0")
        except OSError:
            pass


@pytest.mark.parametrize("argv, message", [
    (["--on-event", "no-such-program-here"], "--on-event finds no program 'no-such-program-here'"),
    (["--on-event", "'unclosed"], "--on-event cannot be split into words"),
    (["--on-event", "true", "--motion", "--on-event-timeout", "0"], "--on-event-timeout: must be more"),
    (["--on-event", "true"], "--on-event applies to keep='motion'"),
    (["--name", "a/b"], "--name must be up to 64 letters"),
])
def test_bad_event_options_are_refused(spells_clip, in_tmp, capsys, argv, message):
    assert cli.main([str(spells_clip), "--no-preview", *argv]) == 2
    assert message in capsys.readouterr().err
    assert os.listdir() == []
