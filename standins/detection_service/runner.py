"""Starting and stopping the detection service on a free loopback port, with bounded waits."""

from __future__ import annotations

import asyncio
import selectors
import signal
import subprocess
import sys
import threading

from aiohttp import web

from detection_service.app import DetectionService

HOST = "127.0.0.1"


class ServiceThread:
    """The service on its own event loop in a background thread of this process."""

    def __init__(self, service: DetectionService, timeout: float = 10.0) -> None:
        self.service = service
        self.timeout = timeout
        self.port: int | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._runner: web.AppRunner | None = None
        self._thread: threading.Thread | None = None

    @property
    def url(self) -> str:
        return f"http://{HOST}:{self.port}"

    def start(self) -> "ServiceThread":
        ready = threading.Event()
        failure: list[BaseException] = []

        def serve() -> None:
            loop = asyncio.new_event_loop()
            self._loop = loop
            try:
                loop.run_until_complete(self._start_site())
            except BaseException as error:  # reported to the starting thread
                failure.append(error)
                ready.set()
                loop.close()
                return
            ready.set()
            try:
                loop.run_forever()
            finally:
                loop.run_until_complete(loop.shutdown_asyncgens())
                loop.close()

        self._thread = threading.Thread(target=serve, name="detection-service", daemon=True)
        self._thread.start()
        if not ready.wait(self.timeout):
            raise TimeoutError(f"the detection service did not start within {self.timeout} s")
        if failure:
            raise failure[0]
        return self

    async def _start_site(self) -> None:
        self._runner = web.AppRunner(self.service.make_app(), access_log=None)
        await self._runner.setup()
        site = web.TCPSite(self._runner, HOST, 0)
        await site.start()
        self.port = self._runner.addresses[0][1]

    def stop(self) -> None:
        loop, thread = self._loop, self._thread
        if loop is None or thread is None:
            return
        if self._runner is not None and loop.is_running():
            asyncio.run_coroutine_threadsafe(self._runner.cleanup(), loop).result(self.timeout)
        loop.call_soon_threadsafe(loop.stop)
        thread.join(self.timeout)
        if thread.is_alive():
            raise TimeoutError(f"the detection service did not stop within {self.timeout} s")
        self._loop = self._thread = self._runner = None

    def __enter__(self) -> "ServiceThread":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()


class ServiceProcess:
    """The service as its own process (``python -m detection_service``)."""

    def __init__(self, args: list[str] | None = None, timeout: float = 20.0) -> None:
        self.args = list(args or [])
        self.timeout = timeout
        self.port: int | None = None
        self.process: subprocess.Popen | None = None

    @property
    def url(self) -> str:
        return f"http://{HOST}:{self.port}"

    def start(self) -> "ServiceProcess":
        self.process = subprocess.Popen(
            [sys.executable, "-m", "detection_service", "--port", "0", *self.args],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
        )
        line = self._read_line()
        if not line.startswith("listening on "):
            self.stop()
            raise RuntimeError(f"the detection service did not start: {line!r}")
        self.port = int(line.rsplit(":", 1)[1])
        return self

    def _read_line(self) -> str:
        assert self.process is not None and self.process.stdout is not None
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            if not selector.select(self.timeout):
                self.stop()
                raise TimeoutError(f"the detection service did not start within {self.timeout} s")
        return self.process.stdout.readline().strip()

    def stop(self) -> None:
        process, self.process = self.process, None
        if process is None:
            return
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(self.timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(self.timeout)
        if process.stdout is not None:
            process.stdout.close()

    def __enter__(self) -> "ServiceProcess":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()


def serve_forever(port: int, secret: str | None = None, username: str | None = None,
                  instance_id: str | None = None, accept_any_token: bool = False, keep_requests: bool = True) -> None:
    """Serve until SIGTERM or SIGINT; prints "listening on http://127.0.0.1:PORT" once ready."""

    async def main() -> None:
        verifier = (lambda token: True) if accept_any_token else None
        service = DetectionService(secret, username, instance_id, token_verifier=verifier, keep_requests=keep_requests)
        runner = web.AppRunner(service.make_app(), access_log=None)
        await runner.setup()
        site = web.TCPSite(runner, HOST, port)
        await site.start()
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for signum in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(signum, stop.set)
        print(f"listening on http://{HOST}:{runner.addresses[0][1]}", flush=True)
        try:
            await stop.wait()
        finally:
            await runner.cleanup()

    asyncio.run(main())
