"""Local stand-in of the monitoring-service client.

Only what the SDK uses: ``CLVClient`` holding an authenticator and a service
instance id, and authenticators whose bearer tokens are computed locally.
A token is ``"zvc1." + hex(HMAC-SHA256(secret, "zvc1:" + username))`` with
the API key (or, on premises without one, the password) as the secret, so a
local service that knows the secret can check it with :func:`verify_token`.
Nothing here touches the network.
"""

from __future__ import annotations

import hashlib
import hmac

TOKEN_PREFIX = "zvc1"

__all__ = [
    "TOKEN_PREFIX",
    "Authenticator",
    "CloudAuthenticator",
    "OnPremAuthenticator",
    "CLVClient",
    "compute_token",
    "verify_token",
]


def compute_token(secret: str, username: str | None = None) -> str:
    """The bearer token for ``secret`` (and ``username`` on premises)."""
    if not secret:
        raise ValueError("A token needs a non-empty secret (API key or password).")
    message = f"{TOKEN_PREFIX}:{username or ''}".encode()
    digest = hmac.new(secret.encode(), message, hashlib.sha256).hexdigest()
    return f"{TOKEN_PREFIX}.{digest}"


def verify_token(token: str, secret: str, username: str | None = None) -> bool:
    """Whether ``token`` was issued for ``secret`` (and ``username``)."""
    if not isinstance(token, str) or not secret:
        return False
    return hmac.compare_digest(token, compute_token(secret, username))


class Authenticator:
    """Base of the authenticators: hands out bearer tokens."""

    def __init__(self, url: str | None = None, disable_ssl_verification: bool = False) -> None:
        self.url = url
        self.disable_ssl_verification = disable_ssl_verification

    def get_token(self) -> str:
        raise NotImplementedError


class CloudAuthenticator(Authenticator):
    """The hosted service: an API key."""

    def __init__(self, apikey: str, url: str | None = None, disable_ssl_verification: bool = False) -> None:
        if not apikey:
            raise ValueError("The apikey must not be empty.")
        super().__init__(url=url, disable_ssl_verification=disable_ssl_verification)
        self.apikey = apikey

    def get_token(self) -> str:
        return compute_token(self.apikey)


class OnPremAuthenticator(Authenticator):
    """An installation on premises: a user name with an API key or a password."""

    def __init__(
        self,
        username: str,
        apikey: str | None = None,
        password: str | None = None,
        url: str | None = None,
        disable_ssl_verification: bool = False,
    ) -> None:
        if not username:
            raise ValueError("The username must not be empty.")
        if not (apikey or password):
            raise ValueError("An apikey or a password is required.")
        super().__init__(url=url, disable_ssl_verification=disable_ssl_verification)
        self.username = username
        self.apikey = apikey
        self.password = password

    def get_token(self) -> str:
        return compute_token(self.apikey or self.password, self.username)


class CLVClient:
    """Client of one monitoring-service instance."""

    def __init__(self, authenticator: Authenticator, service_instance_id: str | None = None, service_url: str | None = None) -> None:
        if authenticator is None:
            raise ValueError("An authenticator is required.")
        self.authenticator = authenticator
        self.service_instance_id = service_instance_id
        self.service_url = service_url if service_url is not None else authenticator.url

    def __repr__(self) -> str:
        return f"CLVClient(service_instance_id={self.service_instance_id!r}, service_url={self.service_url!r})"
