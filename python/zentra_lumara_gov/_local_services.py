"""The local stand-ins of the judge model and the detection service, for development and demos.

``with local_services() as services:`` starts both on free 127.0.0.1 ports
and stops them when the block ends (also on Ctrl-C or SIGTERM, when the
caller turns those into exceptions, as the command line does). The command
line's ``--local`` uses it; ``python -m zentra_lumara_gov._local_services``
starts both and serves until interrupted, printing how to reach them.

Needs the stand-ins' distribution: ``pip install ./standins``.
"""

from __future__ import annotations

import contextlib
import dataclasses
from collections.abc import Iterator
from typing import Any

from zentra_lumara_gov.errors import SettingsError

# What the stand-ins are started with, and what the service client reaching them presents.
LOCAL_SECRET, LOCAL_USER, LOCAL_INSTANCE = "local-key", "local", "local-instance"
LOCAL_JUDGE_MODEL = "loopback-judge"
START_TIMEOUT = 20


@dataclasses.dataclass(frozen=True)
class LocalServices:
    judge_url: str
    detection_url: str

    def api_client(self) -> Any:
        """A service client of the local detection service."""
        from zentra_lumara_gov.clients.api_client import APIClient, Credentials

        return APIClient(Credentials(url=self.detection_url, version="5.0", username=LOCAL_USER,
                                     api_key=LOCAL_SECRET, service_instance_id=LOCAL_INSTANCE))


@contextlib.contextmanager
def local_services() -> Iterator[LocalServices]:
    """Both stand-ins, started for the block and stopped after it, however it ends."""
    try:
        from detection_service import ServiceProcess
        from zentra_judge_server import JudgeServerProcess
    except ImportError as missing:
        raise SettingsError(
            f"the local stand-ins are not installed ({missing.name} is missing): pip install ./standins"
        ) from missing
    judge = JudgeServerProcess().start(timeout=START_TIMEOUT)
    try:
        detection = ServiceProcess(["--secret", LOCAL_SECRET, "--username", LOCAL_USER,
                                    "--instance-id", LOCAL_INSTANCE, "--no-request-log"], timeout=START_TIMEOUT)
        with detection:
            yield LocalServices(judge_url=judge.url, detection_url=detection.url)
    finally:
        judge.stop()


def main() -> None:
    import signal
    import threading

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    with local_services() as services:
        print(f"judge at {services.judge_url} (model {LOCAL_JUDGE_MODEL!r}, key {LOCAL_SECRET!r})", flush=True)
        print(f"detection service at {services.detection_url} (user {LOCAL_USER!r}, key {LOCAL_SECRET!r}, "
              f"instance {LOCAL_INSTANCE!r}); Ctrl-C stops both", flush=True)
        with contextlib.suppress(KeyboardInterrupt):
            stop.wait()


if __name__ == "__main__":
    main()
