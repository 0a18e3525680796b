"""Local stand-in of the detection service: a real aiohttp web application on 127.0.0.1.

    service = DetectionService()
    with ServiceThread(service) as server:     # in this process, on a free port
        ... server.url ...
    with ServiceProcess() as server:           # as its own process
        ... server.url ...

Run it by hand with ``python -m detection_service --port 0``.
"""

from detection_service.app import API_VERSION, DetectionService, Fault, ReceivedRequest
from detection_service.runner import ServiceProcess, ServiceThread

__all__ = ["API_VERSION", "DetectionService", "Fault", "ReceivedRequest", "ServiceProcess", "ServiceThread"]
