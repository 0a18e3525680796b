"""Running the judge application on a free loopback port in a background
thread, with bounded start and stop."""

from __future__ import annotations

import asyncio
import select
import subprocess
import sys
import threading
from collections.abc import Callable

from aiohttp import web

from tallyx.inference import is_loopback
from zentra_judge_server.app import REQUESTS_KEY, create_app
from zentra_judge_server.responder import judge_reply


class JudgeServer:
    """The judge server in a thread of its own. ``start()`` returns once the
    port is bound (or raises), ``stop()`` once the thread has ended; both
    wait at most ``timeout`` seconds. Also a context manager."""

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        responder: Callable[[list[dict]], str] = judge_reply,
        api_key: str | None = None,
    ):
        if not is_loopback(host):
            raise ValueError(f"the judge server binds loopback addresses only, not {host!r}")
        self.host = host
        self.port = port
        self._app = create_app(responder=responder, api_key=api_key)
        self._thread: threading.Thread | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stop_event: asyncio.Event | None = None
        self._ready = threading.Event()
        self._failure: BaseException | None = None

    @property
    def url(self) -> str:
        if not self._ready.is_set() or self._failure is not None:
            raise RuntimeError("the judge server is not running")
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}"

    @property
    def requests(self) -> list[dict]:
        """The requests received so far (the last 1000), oldest first."""
        return list(self._app[REQUESTS_KEY])

    def start(self, timeout: float = 10.0) -> "JudgeServer":
        if self._thread is not None:
            raise RuntimeError("the judge server was already started")
        self._thread = threading.Thread(target=self._serve, name="judge-server", daemon=True)
        self._thread.start()
        if not self._ready.wait(timeout):
            raise TimeoutError(f"the judge server did not start within {timeout} s")
        if self._failure is not None:
            self._thread.join(timeout)
            raise RuntimeError(f"the judge server could not start: {self._failure}") from self._failure
        return self

    def stop(self, timeout: float = 10.0) -> None:
        thread, loop, stop_event = self._thread, self._loop, self._stop_event
        if thread is None:
            return
        if loop is not None and stop_event is not None and thread.is_alive():
            try:
                loop.call_soon_threadsafe(stop_event.set)
            except RuntimeError:  # the loop has already closed
                pass
        thread.join(timeout)
        if thread.is_alive():
            raise TimeoutError(f"the judge server did not stop within {timeout} s")
        self._thread = None

    def __enter__(self) -> "JudgeServer":
        # `with JudgeServer().start(timeout=...) as server:` works too.
        return self if self._thread is not None else self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    def _serve(self) -> None:
        loop = asyncio.new_event_loop()
        self._loop = loop
        try:
            loop.run_until_complete(self._main())
        finally:
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.close()
            self._ready.set()  # never leave start() waiting

    async def _main(self) -> None:
        self._stop_event = asyncio.Event()
        runner = web.AppRunner(self._app, access_log=None)
        try:
            await runner.setup()
            site = web.TCPSite(runner, self.host, self.port)
            await site.start()
            self.port = runner.addresses[0][1]
        except BaseException as error:
            self._failure = error
            await runner.cleanup()
            self._ready.set()
            return
        self._ready.set()
        try:
            await self._stop_event.wait()
        finally:
            await runner.cleanup()


class JudgeServerProcess:
    """The judge server as a separate process (``python -m
    zentra_judge_server``) on a free loopback port. ``start()`` waits at most
    ``timeout`` seconds for its "listening on ..." line; ``stop()`` ends it
    (SIGTERM, then SIGKILL after ``timeout``). Also a context manager."""

    def __init__(self, api_key: str | None = None, python: str | None = None):
        self.api_key = api_key
        self.python = python or sys.executable
        self.process: subprocess.Popen | None = None
        self.url: str | None = None

    def start(self, timeout: float = 10.0) -> "JudgeServerProcess":
        if self.process is not None:
            raise RuntimeError("the judge server process was already started")
        command = [self.python, "-m", "zentra_judge_server", "--port", "0"]
        if self.api_key is not None:
            command += ["--api-key", self.api_key]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        line = self.process.stdout.readline() if ready else ""
        if not line.startswith("listening on "):
            self.stop(timeout)
            raise RuntimeError(f"the judge server process did not start within {timeout} s (said {line!r})")
        self.url = line.split()[-1]
        return self

    def stop(self, timeout: float = 10.0) -> int | None:
        process, self.process = self.process, None
        if process is None:
            return None
        try:
            process.terminate()
            try:
                return process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                return process.wait(timeout)
        finally:
            process.stdout.close()

    def __enter__(self) -> "JudgeServerProcess":
        return self if self.process is not None else self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()
