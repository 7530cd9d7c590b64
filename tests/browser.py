"""Debian's chromium, headless, driven over its DevTools protocol on
loopback: it opens a page and takes a screenshot while the page's streams
still run (its own --screenshot waits for a load that a live stream never
finishes, then cuts the stream off)."""

import asyncio
import base64
import json
import shutil
import subprocess
import tempfile
import time
import urllib.request

import aiohttp
import pytest

CHROMIUM = shutil.which("chromium")
needs_chromium = pytest.mark.skipif(CHROMIUM is None, reason="needs Debian's chromium")


def screenshot(url: str, path, port: int, settle: float = 3.0, size=(1100, 520)) -> None:
    """Opens `url`, waits `settle` seconds, and writes a PNG to `path`."""
    profile = tempfile.mkdtemp(prefix="velmar-chromium-")
    browser = subprocess.Popen(
        [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
         f"--user-data-dir={profile}", f"--remote-debugging-port={port}",
         "--remote-debugging-address=127.0.0.1", f"--window-size={size[0]},{size[1]}",
         "about:blank"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        target = page_target(port)
        data = asyncio.run(_capture(target, url, settle))
        with open(path, "wb") as file:
            file.write(data)
    finally:
        browser.kill()
        browser.wait(timeout=30)
        shutil.rmtree(profile, ignore_errors=True)


def page_target(port: int, seconds: float = 30.0) -> str:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=2) as r:
                pages = [t for t in json.load(r) if t["type"] == "page"]
            if pages:
                return pages[0]["webSocketDebuggerUrl"]
        except OSError:
            pass
        time.sleep(0.2)
    raise AssertionError("chromium did not start")


def devtools(socket):
    """A call of chromium's DevTools protocol over `socket`, answered by its result."""
    calls = iter(range(1, 100000))

    async def call(method, **params):
        number = next(calls)
        await socket.send_json({"id": number, "method": method, "params": params})
        while True:
            answer = await asyncio.wait_for(socket.receive_json(), 30)
            if answer.get("id") == number:
                return answer.get("result", {})

    return call


async def _capture(target: str, url: str, settle: float) -> bytes:
    async with aiohttp.ClientSession() as session:
        async with session.ws_connect(target, max_msg_size=0) as socket:
            call = devtools(socket)
            await call("Page.navigate", url=url)
            await asyncio.sleep(settle)
            shot = await call("Page.captureScreenshot", format="png")
            return base64.b64decode(shot["data"])
