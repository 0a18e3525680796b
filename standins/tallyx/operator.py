"""Operators over multi-streams.

A step of ``SequentialOperator`` is one of:

* a text: an identifier of the catalog (``tallyx.catalog``), fetched and used
  as the step;
* a ``StreamOperator``: applied to every stream of the multi-stream;
* any callable taking a ``MultiStream`` and returning one.
"""

from __future__ import annotations

from collections.abc import Iterator

from tallyx.stream import MultiStream, Stream


class StreamOperator:
    """Turns each stream of a multi-stream into a new stream, lazily.

    Subclasses implement ``process_stream(instances, stream_name)``, a
    generator over the instances of one stream.
    """

    def process_stream(self, instances: Iterator[dict], stream_name: str) -> Iterator[dict]:
        raise NotImplementedError

    def __call__(self, multi_stream: MultiStream) -> MultiStream:
        if not isinstance(multi_stream, MultiStream):
            raise TypeError(f"{type(self).__name__} applies to a MultiStream, got {type(multi_stream).__name__}")

        def make(name: str, stream: Stream):
            return lambda: self.process_stream(iter(stream), name)

        return MultiStream.from_generators({name: make(name, stream) for name, stream in multi_stream.items()})


class InstanceOperator(StreamOperator):
    """A stream operator that maps one instance at a time."""

    def process(self, instance: dict, stream_name: str) -> dict:
        raise NotImplementedError

    def process_stream(self, instances, stream_name):
        for instance in instances:
            yield self.process(instance, stream_name)


def resolve_step(step):
    """The operator a step stands for (catalog texts are fetched)."""
    if isinstance(step, str):
        from tallyx.catalog import get_from_catalog

        step = get_from_catalog(step)
    if not callable(step):
        raise TypeError(f"a step must be a catalog identifier or an operator, got {type(step).__name__}")
    return step


class SequentialOperator:
    """Applies its steps one after the other: ``SequentialOperator(steps=[...])
    (multi_stream)`` returns the multi-stream of the last step."""

    def __init__(self, steps: list | None = None):
        if steps is None:
            steps = []
        if not isinstance(steps, (list, tuple)):
            raise TypeError(f"steps must be a list, got {type(steps).__name__}")
        self.steps = list(steps)

    def __call__(self, multi_stream: MultiStream | None = None) -> MultiStream:
        if multi_stream is None:
            multi_stream = MultiStream()
        # Resolve every step first, so an unknown identifier fails before any
        # instance is processed.
        operators = [resolve_step(step) for step in self.steps]
        for operator in operators:
            multi_stream = operator(multi_stream)
            if not isinstance(multi_stream, MultiStream):
                raise TypeError(f"step {operator!r} returned {type(multi_stream).__name__}, not a MultiStream")
        return multi_stream
