"""The live view's HTTP server, on aiohttp: the page, /status.json,
/metrics, each camera's MJPEG stream and snapshot, the thumbnails of its
latest events, its stored recordings (their list, their videos and event
pictures) and clips cut from them.

Only these are served: an address names a camera and an event, or a file
that the camera's output names (compared, never joined to a path), so no
address reaches another file. Each stream sends the latest picture
whenever its client is ready for one, so a slow client misses pictures and
a stalled one waits alone. With a password, every request must carry it
(HTTP basic authentication, any user name)."""

from __future__ import annotations

import asyncio
import hmac
import logging
import os
import re
import shutil
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from aiohttp import BasicAuth, web
from prometheus_client import CONTENT_TYPE_LATEST, generate_latest

from velmar.export.clip import NothingRecorded, export_clip
from velmar.export.frame_logs import local
from velmar.live import recordings
from velmar.live.board import Board
from velmar.live.metrics import board_registry
from velmar.live.page import PAGE
from velmar.recording.signals import block_stop_signals

BOUNDARY = "velmarpicture"
POLL = 0.05  # seconds between a stream's looks for a new picture
START_TIMEOUT = 10.0
CUTTERS = 2  # clips cut at once
SAFE_HEADERS = {"Cache-Control": "no-store", "X-Content-Type-Options": "nosniff",
                "X-Frame-Options": "DENY"}


class LiveServer:
    """Serves `board` at `address` ((host, port)) on a thread of its own."""

    def __init__(self, board: Board, address: tuple[str, int], password: str | None = None):
        self.board, self.address, self.password = board, address, password
        self.metrics = board_registry(board)
        # Clips are cut on threads of their own, a few at once; each removes
        # its folder as it ends if its request has gone, even after the loop.
        self.cutters = ThreadPoolExecutor(CUTTERS, thread_name_prefix="velmar-clip")
        self.closing = threading.Event()  # tells the cuts under way to stop
        self.stopping = False
        self.loop: asyncio.AbstractEventLoop | None = None
        self.thread: threading.Thread | None = None
        self.runner: web.AppRunner | None = None
        self.failure: BaseException | None = None
        self.url = ""

    def start(self) -> str:
        """Listens, or raises the OSError that prevents it; the page's URL."""
        logging.getLogger("aiohttp").addHandler(logging.NullHandler())
        ready = threading.Event()
        self.thread = threading.Thread(target=self._serve, args=(ready,),
                                       name="velmar-live-view", daemon=True)
        self.thread.start()
        if not ready.wait(START_TIMEOUT):
            raise OSError(f"the live view did not start within {START_TIMEOUT:g} s")
        if self.failure is not None:
            raise self.failure
        return self.url

    def stop(self) -> None:
        if self.loop is None or self.thread is None:
            return
        self.stopping = True
        self.loop.call_soon_threadsafe(self._stopped.set)
        self.thread.join(START_TIMEOUT)
        self.loop = self.thread = None

    def _serve(self, ready: threading.Event) -> None:
        block_stop_signals()
        loop = asyncio.new_event_loop()
        try:
            self._stopped = asyncio.Event()
            loop.run_until_complete(self._listen())
        except OSError as error:
            host, port = self.address
            why = os.strerror(error.errno) if error.errno else str(error)
            self.failure = OSError(f"cannot serve the live view on {host}:{port}: {why}")
            ready.set()
            loop.run_until_complete(self._clean_up())
            loop.close()
            return
        self.loop = loop
        ready.set()
        loop.run_until_complete(self._stopped.wait())
        loop.run_until_complete(self._clean_up())
        loop.close()

    async def _listen(self) -> None:
        app = web.Application(middlewares=[self._guard])
        app.add_routes([
            web.get("/", self._page),
            web.get("/status.json", self._status),
            web.get("/metrics", self._metrics),
            web.get("/camera/{name}/snapshot.jpg", self._snapshot),
            web.get("/camera/{name}/stream.mjpg", self._stream),
            web.get(r"/camera/{name}/event/{event:\d{1,9}}.jpg", self._thumbnail),
            web.get("/camera/{name}/recordings.json", self._recordings),
            web.get("/camera/{name}/video/{file:.+}", self._stored_video),
            web.get("/camera/{name}/thumbnail/{file:.+}", self._stored_thumbnail),
            web.get("/camera/{name}/times/{file:.+}", self._frame_times),
            web.get("/camera/{name}/export.mp4", self._export),
        ])
        self.runner = web.AppRunner(app, access_log=None, shutdown_timeout=1.0)
        await self.runner.setup()
        host, port = self.address
        await web.TCPSite(self.runner, host, port).start()
        bound = self.runner.addresses[0]
        shown = f"[{bound[0]}]" if ":" in bound[0] else bound[0]
        self.url = f"http://{shown}:{bound[1]}/"

    async def _clean_up(self) -> None:
        if self.runner is not None:
            await self.runner.cleanup()
        self.closing.set()
        self.cutters.shutdown(wait=False, cancel_futures=True)

    @web.middleware
    async def _guard(self, request: web.Request, handler):
        if self.password is not None and not self._authorised(request):
            raise web.HTTPUnauthorized(headers={"WWW-Authenticate": 'Basic realm="velmar"',
                                                **SAFE_HEADERS})
        response = await handler(request)
        if not response.prepared:
            response.headers.update(SAFE_HEADERS)
        return response

    def _authorised(self, request: web.Request) -> bool:
        try:
            given = BasicAuth.decode(request.headers.get("Authorization", ""))
        except ValueError:
            return False
        return hmac.compare_digest(given.password.encode(), self.password.encode())

    def _camera(self, request: web.Request) -> str:
        name = request.match_info["name"]
        if name not in self.board.cameras:
            raise web.HTTPNotFound(text=f"no camera {name!r}\n")
        return name

    def _output(self, name: str) -> str:
        output = self.board.output(name)
        if output is None:
            raise web.HTTPNotFound(text=f"no recordings of {name!r} known yet\n")
        return os.fspath(output)

    @staticmethod
    def _times(request: web.Request, *names: str) -> list:
        try:
            return [recordings.moment(request.query.get(name), name) for name in names]
        except ValueError as error:
            raise web.HTTPBadRequest(text=f"{error}\n") from None

    async def _page(self, _request: web.Request) -> web.Response:
        return web.Response(text=PAGE, content_type="text/html", charset="utf-8")

    async def _status(self, _request: web.Request) -> web.Response:
        return web.json_response(self.board.status())

    async def _metrics(self, _request: web.Request) -> web.Response:
        return web.Response(body=generate_latest(self.metrics),
                            headers={"Content-Type": CONTENT_TYPE_LATEST})

    async def _snapshot(self, request: web.Request) -> web.Response:
        picture = self.board.picture(self._camera(request))
        if picture is None:
            raise web.HTTPServiceUnavailable(text="no picture yet\n")
        return web.Response(body=picture.jpeg, content_type="image/jpeg")

    async def _thumbnail(self, request: web.Request) -> web.StreamResponse:
        path = self.board.thumbnail(self._camera(request), int(request.match_info["event"]))
        if path is None or not os.path.isfile(path):
            raise web.HTTPNotFound(text="no such event among the latest\n")
        return web.FileResponse(path, headers={"Content-Type": "image/jpeg", **SAFE_HEADERS})

    async def _recordings(self, request: web.Request) -> web.Response:
        name = self._camera(request)
        output = self._output(name)
        after, before = self._times(request, "after", "before")
        found = await asyncio.get_running_loop().run_in_executor(
            None, recordings.listing, name, output, after, before)
        return web.json_response(found)

    async def _frame_times(self, request: web.Request) -> web.Response:
        output = self._output(self._camera(request))
        times = await asyncio.get_running_loop().run_in_executor(
            None, recordings.frame_times, output, request.match_info["file"])
        if times is None:
            raise web.HTTPNotFound(text="no such recording\n")
        return web.json_response(times)

    async def _stored_video(self, request: web.Request) -> web.StreamResponse:
        return await self._stored(request, recordings.stored_video)

    async def _stored_thumbnail(self, request: web.Request) -> web.StreamResponse:
        return await self._stored(request, recordings.stored_thumbnail)

    async def _stored(self, request: web.Request, find) -> web.StreamResponse:
        """A stored file, in ranges if asked, so that a browser can seek."""
        output = self._output(self._camera(request))
        path = await asyncio.get_running_loop().run_in_executor(
            None, find, output, request.match_info["file"])
        if path is None:
            raise web.HTTPNotFound(text="no such recording\n")
        return web.FileResponse(path, headers=SAFE_HEADERS)

    async def _export(self, request: web.Request) -> web.StreamResponse:
        """A clip of the stored recordings between `start` and `end`, cut in
        a folder of its own that goes once it is sent, or failed."""
        name = self._camera(request)
        output = self._output(name)
        start, end = self._times(request, "start", "end")
        if start is None or end is None or local(start) > local(end):
            raise web.HTTPBadRequest(text="start and end are needed, start not after end\n")
        folder = tempfile.mkdtemp(prefix="velmar-export-")
        clip = Path(folder) / f"{name}.mp4"
        cutting = self.cutters.submit(export_clip, output, start, end, clip,
                                      self.closing.is_set)
        try:
            await asyncio.wrap_future(cutting)
            response = web.FileResponse(clip, headers={
                **SAFE_HEADERS, "Content-Type": "video/mp4",
                "Content-Disposition": f'attachment; filename="{download_name(name, start)}"'})
            await response.prepare(request)  # the whole file is sent here
            return response
        except NothingRecorded:
            raise web.HTTPNotFound(text="nothing recorded between start and end\n") from None
        finally:
            # At once if the cut has ended, else on its thread as it does.
            cutting.add_done_callback(lambda _: shutil.rmtree(folder, ignore_errors=True))

    async def _stream(self, request: web.Request) -> web.StreamResponse:
        name = self._camera(request)
        response = web.StreamResponse(headers={
            "Content-Type": f"multipart/x-mixed-replace; boundary={BOUNDARY}", **SAFE_HEADERS})
        await response.prepare(request)
        sent = 0
        try:
            while not self.stopping:
                picture = self.board.picture(name)
                if picture is not None and picture.number != sent:
                    sent = picture.number
                    await response.write(part(picture.jpeg))
                await asyncio.sleep(POLL)
        except ConnectionError:  # the client went
            pass
        return response


def download_name(camera: str, start) -> str:
    """The clip's name to save it under, of characters no header quotes."""
    return f"{re.sub(r'[^A-Za-z0-9_.-]', '_', camera)}_{start.strftime('%Y%m%d_%H%M%S')}.mp4"


def part(data: bytes) -> bytes:
    """One picture of a multipart stream."""
    return (f"--{BOUNDARY}\r\nContent-Type: image/jpeg\r\nContent-Length: {len(data)}\r\n\r\n"
            .encode() + data + b"\r\n")
