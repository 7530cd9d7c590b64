"""Stored recordings in the live view, real on loopback: their list, their
files by address and in ranges, and nothing else; and the timeline in a real
browser, playing one."""

import asyncio
import base64
import json
import os
import shutil
import subprocess
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request
from datetime import datetime, timedelta

import aiohttp
import av
import pytest

from velmar.live.board import Board
from velmar.live.feed import Feed
from velmar.live.recordings import steady_rate
from velmar.live.server import LiveServer
from velmar.reporting.outcome import record_and_report
from browser import CHROMIUM, devtools, needs_chromium, page_target
from streams import free_port, needs_ffmpeg
from test_live_view import get, raw_get


@pytest.fixture(scope="module")
def stored(spells_clip, tmp_path_factory):
    """Camera yard's two videos with five events (their pictures too), beside
    files its pattern does not name; door has no recordings known."""
    folder = tmp_path_factory.mktemp("stored")
    output = str(folder / "yard.mp4")
    feed = Feed(lambda report: None, pictures=False)  # its pictures of events are written
    assert record_and_report(str(spells_clip), output, {
        "keep": "motion", "min_area": 100, "min_event": 0, "frames_per_file": 20},
        reporter=None, lines=None, view=feed, quiet=True) == 0
    shutil.copy(folder / "yard_001.mp4", folder / "other.mp4")
    shutil.copy(folder / "yard_001.mp4.csv", folder / "other.mp4.csv")
    (folder / "notes.txt").write_text("not a recording")
    board = Board(["yard", "door"])
    board.receive("yard", {"state": "recording", "folder": str(folder), "output": output})
    server = LiveServer(board, ("127.0.0.1", 0))
    try:
        yield server.start(), folder
    finally:
        server.stop()


def listing(url, query=""):
    return json.loads(get(url + "camera/yard/recordings.json" + query)[2])


def test_the_recordings_newest_first_and_their_files(stored):
    url, folder = stored
    found = listing(url)
    videos = [recording["video"] for recording in found["recordings"]]
    assert videos == ["/camera/yard/video/yard_002.mp4", "/camera/yard/video/yard_001.mp4"]
    newer, older = found["recordings"]
    assert (older["frames"], newer["frames"]) == (20, 19)
    assert older["first"] < older["last"] <= newer["first"] < newer["last"]
    assert get(url + videos[1][1:])[2] == (folder / "yard_001.mp4").read_bytes()
    assert older["bytes"] == (folder / "yard_001.mp4").stat().st_size
    assert [event["event"] for event in found["events"]] == [5, 4, 3, 2, 1]
    first = found["events"][-1]
    assert first["video"] == videos[1] and first["start"] == older["first"]
    assert get(url + first["thumbnail"][1:])[2] == (folder / "yard_001.events.001.jpg").read_bytes()

    # The frames' times, a frame each, and the rate they are shown at.
    log = json.loads(get(url + older["times"][1:])[2])
    assert (log["rate"], len(log["times"]), log["times"][0]) == (8, 20, 0)
    assert log["times"] == sorted(log["times"]) and log["times"][-1] > 19 / 8 * 1000

    # A browser seeks with ranges.
    request = urllib.request.Request(url + videos[0][1:], headers={"Range": "bytes=100-199"})
    with urllib.request.urlopen(request, timeout=10) as part:
        assert part.status == 206
        assert part.read() == (folder / "yard_002.mp4").read_bytes()[100:200]

    # Within a range of times, an ISO time with its offset or a Z.
    middle = datetime.fromisoformat(newer["first"]) - timedelta(milliseconds=1)
    later = listing(url, "?after=" + urllib.request.quote(middle.isoformat()))
    assert [r["video"] for r in later["recordings"]] == videos[:1]
    assert [event["event"] for event in later["events"]] == [5]
    utc = middle.astimezone().utctimetuple()
    before = listing(url, f"?before={datetime(*utc[:6]).isoformat()}Z")
    assert [r["video"] for r in before["recordings"]] == videos[1:]


@pytest.mark.parametrize("query", ["?after=yesterday", "?before=2026-13-01T00:00:00"])
def test_a_bad_time_is_told(stored, query):
    with pytest.raises(urllib.error.HTTPError) as refused:
        listing(stored[0], query)
    assert refused.value.code == 400
    assert refused.value.read().decode().startswith(query[1:query.index("=")] + ": not an ISO")


@pytest.mark.parametrize("path", [
    "/camera/yard/video/../../../etc/passwd", "/camera/yard/video/..%2F..%2F..%2Fetc%2Fpasswd",
    "/camera/yard/video/%2e%2e/%2e%2e/%2e%2e/etc/passwd", "/camera/yard/video//etc/passwd",
    "/camera/yard/video/%2Fetc%2Fpasswd", "/camera/yard/video/.%2Fyard_001.mp4",
    "/camera/yard/video/yard_001.mp4.csv", "/camera/yard/video/yard_001.events.csv",
    "/camera/yard/video/other.mp4", "/camera/yard/video/notes.txt",
    "/camera/yard/thumbnail/yard_001.mp4", "/camera/yard/thumbnail/..%2Fstored0%2Fyard_001.events.001.jpg",
    "/camera/door/video/yard_001.mp4", "/camera/door/recordings.json",
])
def test_only_the_files_the_output_names_are_served(stored, path):
    answer = raw_get(stored[0], path)
    assert answer.split(b"\r\n", 1)[0].split(b" ")[1] == b"404"
    assert b"root:" not in answer and b"not a recording" not in answer


async def click_and_watch(target, url, shot, moment):
    """Opens the page, shows an hour, clicks a recording's bar, and gives the
    video's times as it plays, its address, and the time it seeks to for
    the ISO `moment`."""
    async with aiohttp.ClientSession() as session:
        async with session.ws_connect(target, max_msg_size=0) as socket:
            call = devtools(socket)

            async def evaluate(expression):
                answer = await call("Runtime.evaluate", expression=expression, returnByValue=True,
                                    awaitPromise=True)
                return answer["result"].get("value")

            # Chromium may take seconds to start a video the first time in a while.
            async def until(expression, seconds=60):
                for _ in range(int(seconds / 0.2)):
                    if value := await evaluate(expression):
                        return value
                    await asyncio.sleep(0.2)
                raise AssertionError(f"not within {seconds} s: {expression}")

            await call("Page.navigate", url=url)
            await until("!!document.querySelector('.timeline .recording')")
            # An hour, drawn anew: the day's bars are marked.
            await evaluate("document.querySelector('.timeline .recording').dataset.day = 1;"
                           "document.querySelectorAll('.timeline button')[1].click()")
            bars = "document.querySelectorAll('.timeline .recording:not([data-day])')"
            await until(f"{bars}.length == 2")
            # The times it shows as it plays; the older bar is drawn over the newer.
            await evaluate("const video = document.querySelector('video'); window.shown = [];"
                           "video.addEventListener('timeupdate', () =>"
                           " shown.push(video.currentTime))")
            x, y = await evaluate(f"(box => [box.x + box.width / 2, box.y + box.height / 2])"
                                  f"({bars}[1].getBoundingClientRect())")
            for kind in ("mousePressed", "mouseReleased"):
                await call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left",
                           clickCount=1)
            # A later time than the first shown is playing: a click near the end of a
            # short video may leave it only its seek's time and its last.
            times = await until("Math.max(...shown) > shown[0] && shown")
            source = await evaluate("video.currentSrc")
            sought = await evaluate(
                f"(async () => {{ await play(timelines.yard, Date.parse('{moment}'));"
                " await new Promise(done => video.addEventListener('seeking', done,"
                " {once: true})); return video.currentTime; })()")
            await asyncio.sleep(0.5)
            shot.write_bytes(base64.b64decode(
                (await call("Page.captureScreenshot", format="png"))["data"]))
            return times, source, sought


@needs_chromium
def test_a_click_on_the_timeline_plays_the_recording(stored, tmp_path):
    url, folder = stored
    event = listing(url)["events"][2]
    start = datetime.fromisoformat(event["start"]).astimezone().replace(tzinfo=None)
    log = (folder / "yard_001.mp4.csv").read_text().splitlines()[1:]
    frame = [datetime.fromisoformat(row.split(",")[2]) for row in log].index(start)
    port = free_port()
    browser = subprocess.Popen(
        [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
         "--autoplay-policy=no-user-gesture-required", f"--user-data-dir={tmp_path / 'profile'}",
         f"--remote-debugging-port={port}", "--remote-debugging-address=127.0.0.1",
         "--window-size=1100,900", "about:blank"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        target = page_target(port)
        times, source, sought = asyncio.run(click_and_watch(
            target, url, tmp_path / "timeline.png", event["start"]))
    finally:
        browser.kill()
        browser.wait(timeout=30)
    assert source.endswith("/camera/yard/video/yard_001.mp4")
    assert max(times) > times[0] > 0, times
    # Event 3 is a motion video's frame 13 or so: at 8 frames a second from
    # the video's first, not at its clock time.
    with av.open(str(folder / "yard_001.mp4")) as video:
        stream = video.streams.video[0]
        start = float(stream.start_time * stream.time_base)
    assert event["event"] == 3 and frame > 10
    assert sought == pytest.approx(start + frame / 8, abs=0.01)


@pytest.fixture
def temp(tmp_path, monkeypatch):
    """The temporary folder the server's clips are cut in."""
    (tmp_path / "temp").mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "temp"))
    return tmp_path / "temp"


def left_behind(temp, seconds=5.0):
    deadline = time.monotonic() + seconds
    while os.listdir(temp) and time.monotonic() < deadline:
        time.sleep(0.05)
    return os.listdir(temp)


def test_a_clip_across_both_files_is_sent_and_its_folder_goes(stored, temp):
    url, _folder = stored
    older, newer = listing(url)["recordings"][::-1]
    query = urllib.parse.urlencode({"start": older["first"], "end": newer["last"]})
    with urllib.request.urlopen(url + "camera/yard/export.mp4?" + query, timeout=30) as answer:
        assert answer.headers["Content-Type"] == "video/mp4"
        name = datetime.fromisoformat(older["first"]).astimezone().strftime("%Y%m%d_%H%M%S")
        assert answer.headers["Content-Disposition"] == f'attachment; filename="yard_{name}.mp4"'
        (temp.parent / "clip.mp4").write_bytes(answer.read())
    with av.open(str(temp.parent / "clip.mp4")) as clip:
        assert sum(1 for _ in clip.decode(video=0)) == older["frames"] + newer["frames"]
    assert left_behind(temp) == []


@pytest.mark.parametrize("query, code", [
    ("start=2020-01-01T00:00:00&end=2020-01-01T01:00:00", 404),
    ("start=2020-01-01T00:00:00", 400), ("start=noon&end=2020-01-01T01:00:00", 400),
    ("start=2020-01-01T01:00:00Z&end=2020-01-01T00:00:00Z", 400),
])
def test_a_clip_of_nothing_or_of_bad_times_is_refused(stored, temp, query, code):
    with pytest.raises(urllib.error.HTTPError) as refused:
        get(stored[0] + "camera/yard/export.mp4?" + query)
    assert refused.value.code == code
    assert left_behind(temp) == []


def test_the_recordings_need_the_password(stored):
    board = Board(["yard"])
    board.receive("yard", {"output": str(stored[1] / "yard.mp4")})
    server = LiveServer(board, ("127.0.0.1", 0), "s3cret")
    try:
        url = server.start()
        for page in ("camera/yard/recordings.json", "camera/yard/video/yard_001.mp4",
                     "camera/yard/export.mp4?start=2020-01-01T00:00:00&end=2030-01-01T00:00:00"):
            with pytest.raises(urllib.error.HTTPError) as refused:
                get(url + page)
            assert refused.value.code == 401
        assert get(url + "camera/yard/video/yard_001.mp4", "s3cret")[0] == 200
    finally:
        server.stop()


@needs_ffmpeg
@pytest.mark.parametrize("select, rate", [("1", 25.0), ("lt(mod(t,2),1)", None)])
def test_a_video_with_gaps_has_no_steady_rate(tmp_path, select, rate):
    """Its frames are placed by their times, not at a rate."""
    video = tmp_path / "gaps.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25",
                    "-vf", f"select='{select}'", "-t", "4", "-fps_mode", "vfr", str(video)],
                   check=True, timeout=60)
    assert steady_rate(video) == rate
