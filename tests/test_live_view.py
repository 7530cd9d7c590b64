"""The live view's server, real on loopback: what it serves, to whom, and
that a client, however slow, never touches the recording."""

import base64
import json
import socket
import threading
import time
import urllib.error
import urllib.request

import cv2
import numpy as np
import pytest

import velmar
from velmar import cli
from velmar.live.board import Board
from velmar.live.feed import QUEUED, Feed
from velmar.live.server import BOUNDARY, LiveServer
from conftest import csv_rows, write_video


def picture(value):
    image = np.full((48, 64, 3), value, np.uint8)
    return cv2.imencode(".jpg", image)[1].tobytes()


@pytest.fixture
def served(tmp_path):
    """A board of two cameras, one with a picture and an event, served on loopback."""
    board = Board(["yard", "door"])
    thumbnail = tmp_path / "yard.events.001.jpg"
    thumbnail.write_bytes(picture(90))
    board.receive("yard", {"state": "recording", "frames_read": 5, "frames_kept": 4,
                           "folder": str(tmp_path), "pid": 1})
    board.receive("yard", {"picture": picture(200), "at": "2026-12-09T10:00:00"})
    board.receive("yard", {"event": {"event": 1, "start": "2026-12-09T10:00:00", "seconds": 1.5,
                                     "frames": 12, "video": "yard.mp4",
                                     "thumbnail": str(thumbnail)}})
    servers = []

    def serve(password=None):
        server = LiveServer(board, ("127.0.0.1", 0), password)
        servers.append(server)
        return server.start(), board
    yield serve
    for server in servers:
        server.stop()


def get(url, password=None):
    request = urllib.request.Request(url)
    if password is not None:
        token = base64.b64encode(f"anyone:{password}".encode()).decode()
        request.add_header("Authorization", f"Basic {token}")
    with urllib.request.urlopen(request, timeout=10) as response:
        return response.status, response.headers["Content-Type"], response.read()


def raw_get(url, path):
    """The status line of a request sent as it is, unnormalised."""
    host, port = url.split("//")[1].rstrip("/").split(":")
    with socket.create_connection((host, int(port)), timeout=10) as connection:
        connection.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode())
        answer = b""
        while chunk := connection.recv(65536):
            answer += chunk
    return answer


def test_status_snapshot_and_thumbnails(served):
    url, _board = served()
    status = json.loads(get(url + "status.json")[2])
    yard, door = status["cameras"]
    assert (yard["name"], yard["state"], yard["frames_read"], yard["events"]) == (
        "yard", "recording", 5, 1)
    assert set(yard["disk"]) == {"folder", "total", "used", "free"}
    assert yard["latest_events"][0]["thumbnail"] == "/camera/yard/event/1.jpg"
    assert (door["state"], door["picture_at"]) == ("starting", None)
    assert get(url + "camera/yard/snapshot.jpg")[:2] == (200, "image/jpeg")
    assert get(url + "camera/yard/event/1.jpg")[2] == picture(90)
    page = get(url)[2].decode()
    assert "/status.json" in page and "<script>" in page
    for missing in ("camera/door/snapshot.jpg", "camera/gate/snapshot.jpg",
                    "camera/yard/event/2.jpg"):
        with pytest.raises(urllib.error.HTTPError) as refused:
            get(url + missing)
        assert refused.value.code in (404, 503)


def test_the_stream_sends_jpeg_pictures_as_they_come(served):
    url, board = served()
    stream = urllib.request.urlopen(url + "camera/yard/stream.mjpg", timeout=10)
    assert stream.headers["Content-Type"] == f"multipart/x-mixed-replace; boundary={BOUNDARY}"
    pictures = []
    for value in (200, 40, 120):
        if value != 200:
            board.receive("yard", {"picture": picture(value), "at": "2026-12-09T10:00:01"})
        assert stream.readline() == f"--{BOUNDARY}\r\n".encode()
        headers = dict(stream.readline().decode().strip().split(": ", 1) for _ in range(2))
        assert stream.readline() == b"\r\n" and headers["Content-Type"] == "image/jpeg"
        data = stream.read(int(headers["Content-Length"]))
        stream.readline()
        pictures.append(cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_GRAYSCALE))
    stream.close()
    assert [round(float(p.mean()) / 10) for p in pictures] == [20, 4, 12]


@pytest.mark.parametrize("path", [
    "/../../etc/passwd", "/camera/../../etc/passwd", "/camera/yard/../../../etc/passwd",
    "/camera/..%2f..%2f..%2fetc%2fpasswd/snapshot.jpg", "/camera/yard/event/..%2f1.jpg",
    "/%2e%2e/%2e%2e/etc/passwd", "/camera/yard/event/1.jpg/../../../../etc/passwd",
])
def test_no_path_reaches_another_file(served, path):
    url, _board = served()
    answer = raw_get(url, path)
    assert answer.split(b"\r\n", 1)[0].split(b" ")[1] in (b"400", b"404")
    assert b"root:" not in answer


def test_a_password_is_asked_of_every_request(served):
    url, _board = served(password="s3cret")
    for page in ("", "status.json", "camera/yard/snapshot.jpg", "camera/yard/stream.mjpg"):
        for wrong in (None, "guess"):
            with pytest.raises(urllib.error.HTTPError) as refused:
                get(url + page, wrong)
            assert refused.value.code == 401
            assert refused.value.headers["WWW-Authenticate"] == 'Basic realm="velmar"'
    assert get(url + "status.json", "s3cret")[0] == 200


@pytest.mark.parametrize("argv, message", [
    (["--http", "0.0.0.0:0"], "--http-password is needed to serve the live view on 0.0.0.0"),
    (["--http", "localhost"], "--http must be HOST:PORT"),
])
def test_another_address_than_loopback_needs_a_password(tmp_path, capsys, monkeypatch, argv,
                                                        message):
    monkeypatch.delenv("VELMAR_HTTP_PASSWORD", raising=False)
    write_video(str(tmp_path / "in.avi"), 5)
    assert cli.main([str(tmp_path / "in.avi"), "-o", str(tmp_path / "o.mp4"), "--no-preview",
                     *argv]) == 2
    assert message in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.avi"]


def test_a_stalled_client_does_not_change_the_frames_kept(tmp_path, served):
    """A client that asks for the stream and never reads: the recording keeps
    the same frames as one nobody watches, and the server still answers others."""
    clip = str(tmp_path / "clip.avi")
    writer = cv2.VideoWriter(clip, cv2.VideoWriter_fourcc(*"MJPG"), 25, (640, 480))
    for i in range(300):
        writer.write(np.full((480, 640, 3), i % 250, np.uint8))
    writer.release()
    url, board = served()
    host, port = url.split("//")[1].rstrip("/").split(":")
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect((host, int(port)))
    stalled.sendall(b"GET /camera/yard/stream.mjpg HTTP/1.1\r\nHost: x\r\n\r\n")
    feed = Feed(lambda report: board.receive("yard", report), pictures_per_second=50)
    try:
        watched = velmar.record(clip, tmp_path / "watched.mp4", observer=feed,
                                progress=feed.progress)
    finally:
        feed.close()
    alone = velmar.record(clip, tmp_path / "alone.mp4")
    assert watched.frames_kept == alone.frames_kept == 300
    assert csv_rows(tmp_path / "watched.mp4.csv") == csv_rows(tmp_path / "alone.mp4.csv")
    assert board.picture("yard").number > 10  # pictures were made and offered all along
    assert get(url + "status.json")[0] == 200
    stalled.close()


def test_the_command_serves_one_camera_and_tells_each_event(spells_clip, in_tmp, capsys):
    assert cli.main([str(spells_clip), "--motion", "--min-area", "100", "--min-event", "0",
                     "--no-preview", "--http", "127.0.0.1:0", "--name", "porch"]) == 0
    err = capsys.readouterr().err.splitlines()
    assert err[0].startswith("velmar: live view at http://127.0.0.1:")
    assert [line.split(":")[1] for line in err[1:]] == [f" event {n}" for n in range(1, 6)]


def test_by_default_the_command_tells_no_flicker_as_an_event(spells_clip, in_tmp, capsys):
    assert cli.main([str(spells_clip), "--motion", "--min-area", "100", "--no-preview",
                     "--http", "127.0.0.1:0", "--name", "porch"]) == 0
    err = capsys.readouterr().err.splitlines()
    # The one-frame flicker is shorter than the shortest event, a quarter second.
    assert [line.split(":")[1] for line in err[1:]] == [f" event {n}" for n in range(1, 5)]


def test_a_feed_held_up_drops_counts_but_never_an_event():
    held, sent = threading.Event(), []
    feed = Feed(lambda report: (held.wait(10), sent.append(report)), pictures=False)
    feed.put({"state": "recording"})
    time.sleep(0.2)  # the feed's thread is now held in its first send
    for n in range(300):
        feed.put({"event": n} if n % 50 == 7 else {"frames_kept": n})
    held.set()
    feed.close(wait=5)
    events = [report["event"] for report in sent if "event" in report]
    assert events == list(range(7, 300, 50)) and len(sent) <= 2 + QUEUED
    assert sent[-1] == {"frames_kept": 299}
