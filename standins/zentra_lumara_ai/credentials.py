"""Credentials of the AI service."""

from __future__ import annotations

from typing import Any

_FIELDS = ("url", "api_key", "name", "token", "username", "password", "instance_id", "version", "verify")


class Credentials:
    """Where the AI service is and how to authenticate to it.

    Hosted service: ``url`` and ``api_key`` (or a ready ``token``). Software
    installation (``version`` set): ``url``, ``username`` and ``api_key`` or
    ``password``, with the installation's ``instance_id``.
    """

    def __init__(
        self,
        *,
        url: str | None = None,
        api_key: str | None = None,
        name: str | None = None,
        token: str | None = None,
        username: str | None = None,
        password: str | None = None,
        instance_id: str | None = None,
        version: str | None = None,
        verify: bool | str | None = None,
    ) -> None:
        self.url = url
        self.api_key = api_key
        self.name = name
        self.token = token
        self.username = username
        self.password = password
        self.instance_id = instance_id
        self.version = version
        self.verify = verify

    def to_dict(self) -> dict[str, Any]:
        """The fields that are set."""
        return {field: getattr(self, field) for field in _FIELDS if getattr(self, field) is not None}

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Credentials) and self.to_dict() == other.to_dict()

    def __repr__(self) -> str:
        shown = {k: v for k, v in self.to_dict().items() if k not in {"api_key", "password", "token"}}
        return f"Credentials({', '.join(f'{k}={v!r}' for k, v in shown.items())})"
