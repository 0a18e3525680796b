"""Fixtures and helpers of the detection-provider tests: the stand-in service on
127.0.0.1, service clients, tables, a sleep recorder and a session recorder."""

from __future__ import annotations

import asyncio
import time
import types

import pandas as pd
import pytest

from detection_service import DetectionService, ServiceThread
from zentra_lumara_gov.clients.api_client import APIClient, Credentials
from zentra_lumara_gov.config import GenAIConfiguration
from zentra_lumara_gov.providers import screener_provider
from zentra_lumara_gov.providers.screener_provider import ScreenerProvider

SECRET = "api-key-for-tests"
USER = "ann"
INSTANCE = "instance-7"


@pytest.fixture(scope="module")
def server():
    with ServiceThread(DetectionService(SECRET, username=USER, instance_id=INSTANCE)) as running:
        yield running


@pytest.fixture
def service(server):
    server.service.reset()
    yield server.service
    server.service.reset()


@pytest.fixture
def api_client(server):
    """A client of an installation on premises: its url is the service address itself."""
    return APIClient(Credentials(url=server.url, version="5.0", username=USER, api_key=SECRET,
                                 service_instance_id=INSTANCE))


@pytest.fixture(autouse=True)
def class_attributes(monkeypatch):
    """Tests may change the class attributes; each starts from the shipped values."""
    monkeypatch.setattr(ScreenerProvider, "RETRY_AFTER_STATUS_CODES", [502, 503, 504])
    monkeypatch.setattr(ScreenerProvider, "RETRY_COUNT", 3)
    monkeypatch.setattr(ScreenerProvider, "BACK_OFF_FACTOR", 1)


@pytest.fixture
def sleeps(monkeypatch):
    """Replaces the module's asyncio: back-off sleeps are recorded, not slept."""
    delays = []
    real_sleep = asyncio.sleep

    async def sleep(delay, *args, **kwargs):
        delays.append(delay)
        await real_sleep(0)

    monkeypatch.setattr(screener_provider, "asyncio", types.SimpleNamespace(gather=asyncio.gather, sleep=sleep))
    return delays


@pytest.fixture
def sessions(monkeypatch):
    """Replaces the module's aiohttp: every session it opens is recorded."""
    import aiohttp

    opened = []

    def client_session(*args, **kwargs):
        session = aiohttp.ClientSession(*args, **kwargs)
        opened.append((args, kwargs, session))
        return session

    monkeypatch.setattr(screener_provider, "aiohttp", types.SimpleNamespace(ClientSession=client_session))
    return opened


def provider(api_client, metric_name="pii", configuration=None, **kwargs):
    kwargs.setdefault("metric_display_name", metric_name.replace("_", " ").title())
    return ScreenerProvider(configuration=configuration or GenAIConfiguration(), metric_name=metric_name,
                            api_client=api_client, **kwargs)


def rag_table() -> pd.DataFrame:
    return pd.DataFrame({
        "record_id": ["r1", "r2", "r3"],
        "question": ["Write to jane@example.com please", "Why are you such an idiot?", "What is the capital of France?"],
        "contexts": [["Mail goes to the office."], ["Spiders have eight legs.", "Insects have six legs."],
                     ["Paris is the capital of France."]],
        "answer": ["I will write.", "Spiders have eight legs.", "The capital of France is Paris."],
    })


def wait_until(condition, timeout=5.0):
    """Polls ``condition`` until it holds; fails after ``timeout`` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("condition not met in time")
        time.sleep(0.005)
