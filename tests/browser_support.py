"""Renders a local HTML file in headless Debian chromium and reports what a reader would meet.

Chromium is started with a DevTools endpoint on a free loopback port; one
page is driven over its websocket (aiohttp's client): the console, uncaught
exceptions, log entries and every network request are recorded while the
file loads, then the page's DOM is queried and a screenshot taken. Every wait
is bounded, and the browser is always stopped.
"""

from __future__ import annotations

import asyncio
import base64
import contextlib
import dataclasses
import itertools
import json
import pathlib
import re
import select
import shutil
import subprocess
import tempfile
import time

CHROMIUM_NAMES = ("chromium", "chromium-browser")
DEVTOOLS_LINE = re.compile(r"DevTools listening on (ws://127\.0\.0\.1:(\d+)/\S+)")


def chromium_path() -> str | None:
    return next((path for path in map(shutil.which, CHROMIUM_NAMES) if path), None)


@dataclasses.dataclass
class PageVisit:
    problems: list[str]          # console errors and warnings, exceptions, error log entries
    requests: list[str]          # every URL the page asked for
    facts: dict                  # what the DOM query returned
    screenshot_png: bytes


@contextlib.contextmanager
def running_chromium(timeout: float = 30.0):
    """Chromium headless on 127.0.0.1; yields the DevTools HTTP port."""
    path = chromium_path()
    assert path, "chromium is not installed (bash scripts/ci-browser.sh installs it)"
    profile = tempfile.mkdtemp(prefix="zlg-chromium-")
    command = [path, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
               "--no-first-run", "--disable-extensions", "--disable-background-networking",
               "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
               f"--user-data-dir={profile}", "--window-size=1200,1600", "about:blank"]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + timeout
        port = None
        seen = []
        while port is None and process.poll() is None:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([process.stderr], [], [], left)[0]:
                break
            line = process.stderr.readline()
            seen.append(line)
            match = DEVTOOLS_LINE.search(line)
            if match:
                port = int(match.group(2))
        assert port is not None, f"chromium gave no DevTools endpoint within {timeout} s: {''.join(seen)[-2000:]}"
        yield port
    finally:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(10)
        process.stderr.close()
        shutil.rmtree(profile, ignore_errors=True)


DOM_QUERY = """JSON.stringify({
  summaryRows: document.querySelectorAll('table#summary tbody tr').length,
  summaryMetrics: Array.from(document.querySelectorAll('table#summary tbody tr td:first-child'),
                             cell => cell.textContent),
  chartMetrics: Array.from(document.querySelectorAll('figure.histogram'), figure => figure.dataset.metric),
  chartsWithSvg: document.querySelectorAll('figure.histogram > svg').length,
  bars: document.querySelectorAll('figure.histogram rect.bar').length,
  failedRows: document.querySelectorAll('table.failed-records tbody tr').length,
  scripts: document.scripts.length,
  title: document.title,
})"""


def visit(html_path: pathlib.Path, timeout: float = 30.0) -> PageVisit:
    with running_chromium(timeout) as port:
        return asyncio.run(asyncio.wait_for(_drive(port, html_path.resolve().as_uri()), timeout))


async def _drive(port: int, url: str) -> PageVisit:
    import aiohttp

    problems: list[str] = []
    requests: list[str] = []
    loaded = asyncio.Event()
    replies: dict[int, asyncio.Future] = {}
    ids = itertools.count(1)

    async with aiohttp.ClientSession() as session:
        async with session.get(f"http://127.0.0.1:{port}/json/list") as listing:
            pages = [target for target in await listing.json() if target["type"] == "page"]
        async with session.ws_connect(pages[0]["webSocketDebuggerUrl"], max_msg_size=0) as socket:

            async def call(method: str, **params):
                message_id = next(ids)
                reply = replies[message_id] = asyncio.get_running_loop().create_future()
                await socket.send_str(json.dumps({"id": message_id, "method": method, "params": params}))
                return await reply

            async def listen():
                async for message in socket:
                    event = json.loads(message.data)
                    if "id" in event:
                        reply = replies.pop(event["id"])
                        if "error" in event:
                            reply.set_exception(RuntimeError(str(event["error"])))
                        else:
                            reply.set_result(event.get("result", {}))
                        continue
                    method, params = event.get("method"), event.get("params", {})
                    if method == "Runtime.consoleAPICalled" and params["type"] in ("error", "warning", "assert"):
                        problems.append(f"console.{params['type']}: {params.get('args')}")
                    elif method == "Runtime.exceptionThrown":
                        problems.append(f"exception: {params['exceptionDetails']}")
                    elif method == "Log.entryAdded" and params["entry"]["level"] in ("error", "warning"):
                        problems.append(f"log {params['entry']['level']}: {params['entry']['text']}")
                    elif method == "Network.requestWillBeSent":
                        requests.append(params["request"]["url"])
                    elif method == "Page.loadEventFired":
                        loaded.set()

            listener = asyncio.create_task(listen())
            try:
                for domain in ("Runtime", "Log", "Network", "Page"):
                    await call(f"{domain}.enable")
                await call("Page.navigate", url=url)
                await loaded.wait()
                await asyncio.sleep(0.3)  # late console messages
                evaluated = await call("Runtime.evaluate", expression=DOM_QUERY, returnByValue=True)
                shot = await call("Page.captureScreenshot", format="png", captureBeyondViewport=False)
            finally:
                listener.cancel()
                with contextlib.suppress(asyncio.CancelledError):
                    await listener
    return PageVisit(problems, requests, json.loads(evaluated["result"]["value"]), base64.b64decode(shot["data"]))


def ink_share(png: bytes) -> float:
    """Share of the screenshot's pixels that are not the page's background colour."""
    import io

    from PIL import Image

    image = Image.open(io.BytesIO(png)).convert("RGB")
    colours = image.getcolors(maxcolors=image.width * image.height)
    background = max(colours)[0]
    return 1 - background / (image.width * image.height)
