"""``python -m zentra_judge_server [--host 127.0.0.1] [--port 0] [--api-key K]``"""

from __future__ import annotations

import argparse
import asyncio
import signal
import sys

from aiohttp import web

from tallyx.inference import is_loopback
from zentra_judge_server.app import create_app


async def serve(host: str, port: int, api_key: str | None) -> None:
    runner = web.AppRunner(create_app(api_key=api_key), access_log=None)
    await runner.setup()
    try:
        site = web.TCPSite(runner, host, port)
        await site.start()
        bound = runner.addresses[0][1]
        shown = f"[{host}]" if ":" in host else host
        print(f"listening on http://{shown}:{bound}", flush=True)
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for signum in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(signum, stop.set)
        await stop.wait()
    finally:
        await runner.cleanup()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="zentra_judge_server", description="Loopback judge server")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--api-key", default=None)
    args = parser.parse_args(argv)
    if not is_loopback(args.host):
        parser.error(f"the judge server binds loopback addresses only, not {args.host!r}")
    asyncio.run(serve(args.host, args.port, args.api_key))
    return 0


if __name__ == "__main__":
    sys.exit(main())
