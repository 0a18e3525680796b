"""The detection provider under load against a service that misbehaves at
random (seeded): statuses 200/400/500/502/503/504, bodies that are not JSON,
dropped connections and slow answers. Every record must come back either with
its value or with the error its own answers call for; no HTTP session may stay
open; a cancellation midway must leave nothing running.

1,000 records per run; ``ZLG_FUZZ=long`` (or ``ZLG_FAULT_RECORDS=N``) runs more.
"""

from __future__ import annotations

import asyncio
import collections
import os
import random

import pandas as pd
import pytest
from screener_support import api_client, class_attributes, provider, server, service, sessions  # noqa: F401

from detection_service import Fault
from zentra_lumara_gov.entities.base_classes import Error
from zentra_lumara_gov.providers.screener_provider import ScreenerProvider

RECORDS = int(os.environ.get("ZLG_FAULT_RECORDS") or (10_000 if os.environ.get("ZLG_FUZZ") == "long" else 1_000))
RETRIED = (502, 503, 504)

# What the service does to one request, with its weight in the mix.
MIX = [
    (lambda rng: None, 40),                                              # answered normally
    (lambda rng: Fault.ok(delay=rng.uniform(0.005, 0.05)), 6),           # answered late
    (lambda rng: Fault.error(rng.choice(RETRIED)), 24),                  # retried
    (lambda rng: Fault.error(rng.choice(RETRIED), delay=0.01), 3),
    (lambda rng: Fault.error(400), 6),
    (lambda rng: Fault.error(500), 5),
    (lambda rng: Fault.not_json(), 5),
    (lambda rng: Fault.not_json(status=rng.choice(RETRIED)), 3),         # retried; parsed only at the end
    (lambda rng: Fault.dropped(), 5),
    (lambda rng: Fault.dropped(delay=0.01), 3),
]


def fault_plan(count: int, seed: int) -> list[Fault]:
    rng = random.Random(seed)
    makers, weights = zip(*MIX)
    return [rng.choices(makers, weights)[0](rng) or Fault.ok() for _ in range(count)]


def table(count: int) -> pd.DataFrame:
    return pd.DataFrame({"record_id": [f"r{i}" for i in range(count)],
                         "question": [f"record {i}: write to user{i}@example.com" for i in range(count)]})


def expected_outcome(faults: list[Fault], value) -> tuple:
    """What a record's answers call for: (kind, value or error code, error text or None).

    A retried status is tried again up to three attempts; its body is read only at the last.
    """
    for attempt, fault in enumerate(faults):
        last = attempt == ScreenerProvider.RETRY_COUNT - 1
        if fault.drop:
            return ("error", "REQUEST_FAILED", None)  # the client library's own words
        if fault.raw is not None and (fault.status not in RETRIED or last):
            return ("error", "REQUEST_FAILED", "Expecting value: line 1 column 1 (char 0)")
        if fault.status == 200:
            return ("value", value, None)
        if fault.status in RETRIED and not last:
            continue
        body = {"errors": [{"code": "scripted_fault", "message": f"scripted status {fault.status}"}],
                "status_code": fault.status}
        return ("error", str(fault.status), str(body))
    raise AssertionError(f"a record ended after {len(faults)} attempts without an outcome")


def answers_by_record(service, texts: dict[str, int]) -> dict[int, list[Fault]]:
    """The faults each record's requests met, in the order they were received."""
    met = collections.defaultdict(list)
    for request in service.requests:
        met[texts[request.json()["input"]]].append(request.fault or Fault.ok())
    return met


def outcome_of(record) -> tuple:
    if record.errors is None:
        return ("value", record.value, None)
    [error] = record.errors
    assert record.value is None and isinstance(error, Error)
    return ("error", error.code, error.message_en)


def test_every_record_is_accounted_for_under_a_random_fault_mix(api_client, service, sessions):  # noqa: F811
    ScreenerProvider.BACK_OFF_FACTOR = 0.001
    data = table(RECORDS)
    texts = {text: index for index, text in enumerate(data["question"])}
    clean = provider(api_client, "pii").evaluate(data)
    service.reset()
    service.script(fault_plan(3 * RECORDS, seed=RECORDS))

    result = provider(api_client, "pii").evaluate(data)

    met = answers_by_record(service, texts)
    records = result.record_level_metrics
    assert [record.record_id for record in records] == list(data["record_id"])
    tally = collections.Counter()
    for index, record in enumerate(records):
        expected = expected_outcome(met[index], clean.record_level_metrics[index].value)
        got = outcome_of(record)
        if expected[2] is None and got[0] == "error":
            assert got[2], f"record {index}: an error without its cause"
            got = got[:2] + (None,)
        assert got == expected, f"record {index} met {met[index]}"
        if got[0] == "value":
            tally[("value", len(met[index]))] += 1
        else:
            cause = ("not JSON" if expected[2] else "dropped") if got[1] == "REQUEST_FAILED" else "status"
            tally[("error " + got[1], cause, len(met[index]))] += 1
    assert sum(tally.values()) == result.total_records == RECORDS
    values = [record.value for record in records if record.errors is None]
    assert result.mean == round(sum(values) / len(values), 4)
    assert len(sessions) == 2 and all(session.closed for _, _, session in sessions)
    print("\nfault matrix accounting (outcome, [cause,] attempts): records")
    for key, count in sorted(tally.items(), key=str):
        print(f"  {key}: {count}")


def test_cancelling_midway_leaves_no_session_or_task(api_client, service, sessions):  # noqa: F811
    ScreenerProvider.BACK_OFF_FACTOR = 0.001
    count = min(RECORDS, 1_000)
    service.script(fault_plan(3 * count, seed=7) + [Fault.ok(delay=0.05)] * count)
    detector = provider(api_client, "pii")

    async def main():
        task = asyncio.ensure_future(detector.evaluate_async(table(count)))
        for _ in range(2_000):  # at most 20 s
            if len(service.requests) >= count // 2:
                break
            await asyncio.sleep(0.01)
        assert not task.done()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        await asyncio.sleep(0.05)
        return [other for other in asyncio.all_tasks() if other is not asyncio.current_task()]

    assert asyncio.run(main()) == []
    [(_, _, session)] = sessions
    assert session.closed
    received = len(service.requests)
    assert count // 2 <= received < 3 * count
