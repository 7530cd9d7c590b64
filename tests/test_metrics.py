"""/metrics of the live view, read by Prometheus's own parser, against
/status.json of the same board, fed by a real recording."""

import json
import time
import urllib.error

import pytest
from prometheus_client.parser import text_string_to_metric_families

from velmar.live.feed import Feed
from velmar.reporting.outcome import record_and_report
from test_live_view import get, served  # noqa: F401 (a fixture)

COUNTED = {"velmar_frames_read": "frames_read", "velmar_frames_written": "frames_kept",
           "velmar_events": "events", "velmar_outages": "outages",
           "velmar_away_seconds": "seconds_away", "velmar_restarts": "restarts"}


def samples(text):
    """{(metric, camera, state or None): value} of the scraped text."""
    return {(sample.name, sample.labels["camera"], sample.labels.get("state")): sample.value
            for family in text_string_to_metric_families(text) for sample in family.samples
            if not sample.name.endswith("_created")}


def test_the_counters_match_the_status(served, spells_clip, tmp_path):  # noqa: F811
    url, board = served(password="s3cret")
    board.receive("door", {"state": "reconnecting", "folder": str(tmp_path)})
    time.sleep(0.2)
    board.receive("door", {"state": "recording", "restarts": 2})
    feed = Feed(lambda report: board.receive("door", report), pictures=False)
    assert record_and_report(str(spells_clip), str(tmp_path / "door.mp4"),
                             {"keep": "motion", "min_area": 100, "min_event": 0}, reporter=None,
                             lines=None, view=feed, quiet=True) == 0
    with pytest.raises(urllib.error.HTTPError) as refused:
        get(url + "metrics")
    assert refused.value.code == 401
    status, kind, text = get(url + "metrics", "s3cret")
    assert status == 200 and kind.startswith("text/plain; version=")
    scraped = samples(text.decode())
    cameras = json.loads(get(url + "status.json", "s3cret")[2])["cameras"]
    door = next(camera for camera in cameras if camera["name"] == "door")
    assert (door["state"], door["frames_kept"], door["events"]) == ("finished", 39, 5)
    assert door["seconds_away"] >= 0.2
    for camera in cameras:
        name = camera["name"]
        for metric, key in COUNTED.items():
            assert scraped[f"{metric}_total", name, None] == camera[key]
        states = {state: value for (metric, who, state), value in scraped.items()
                  if metric == "velmar_state" and who == name}
        assert states[camera["state"]] == 1 and sum(states.values()) == 1 and len(states) >= 9
        assert scraped["velmar_disk_free_bytes", name, None] == pytest.approx(
            camera["disk"]["free"], rel=0.01)
