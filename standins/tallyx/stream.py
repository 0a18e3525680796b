"""Named streams of instance dictionaries.

A ``Stream`` is a re-iterable sequence of instances (dictionaries); a
``MultiStream`` maps stream names ("train", "test", ...) to streams.
Operators (``tallyx.operator``) turn one multi-stream into another lazily:
nothing runs until a stream is iterated.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Mapping


class Stream:
    """A re-iterable stream of instances.

    ``source`` is either an iterable that can be iterated more than once (a
    list, a tuple) or a function returning a fresh iterator. With
    ``copying=True`` each dictionary instance is copied (one level) on its way
    out, so operators that add keys never change the caller's dictionaries.
    """

    __slots__ = ("_source", "copying")

    def __init__(self, source: Iterable | Callable[[], Iterator], copying: bool = False):
        self._source = source
        self.copying = bool(copying)

    def _iterate(self) -> Iterator:
        source = self._source
        return iter(source() if callable(source) else source)

    def __iter__(self) -> Iterator:
        if not self.copying:
            return self._iterate()
        return map(_copied, self._iterate())

    def to_list(self) -> list:
        return list(self)

    def peek(self):
        """The first instance (StopIteration on an empty stream)."""
        return next(iter(self))


def _copied(item):
    return item.copy() if type(item) is dict else dict(item) if isinstance(item, dict) else item


class MultiStream(dict):
    """A mapping of stream name to ``Stream``."""

    def __init__(self, streams: Mapping[str, Stream] | None = None):
        super().__init__()
        for name, stream in (streams or {}).items():
            if not isinstance(name, str):
                raise TypeError(f"stream names must be texts, got {type(name).__name__}")
            if not isinstance(stream, Stream):
                raise TypeError(f"stream {name!r} must be a Stream, got {type(stream).__name__}")
            self[name] = stream

    @classmethod
    def from_iterables(cls, iterables: Mapping[str, Iterable], copying: bool = False) -> "MultiStream":
        """One stream per entry of ``iterables`` (name to an iterable of
        instances). A one-shot iterator is materialised first, so every stream
        can be iterated again."""
        if not isinstance(iterables, Mapping):
            raise TypeError(f"from_iterables expects a mapping of stream name to iterable, got {type(iterables).__name__}")
        streams = {}
        for name, iterable in iterables.items():
            if isinstance(iterable, Iterator):
                iterable = list(iterable)
            streams[name] = Stream(iterable, copying=copying)
        return cls(streams)

    @classmethod
    def from_generators(cls, generators: Mapping[str, Callable[[], Iterator]], copying: bool = False) -> "MultiStream":
        """One stream per entry (name to a function returning an iterator)."""
        return cls({name: Stream(fn, copying=copying) for name, fn in generators.items()})
