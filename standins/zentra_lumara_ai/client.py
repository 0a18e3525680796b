"""Client of the AI service."""

from __future__ import annotations

from zentra_lumara_ai.credentials import Credentials


class APIClient:
    """Holds the credentials (and optionally a default project or space).

    Checks what a real client would need before its first request: a URL and
    a way to authenticate. Constructing it never reaches the network.
    """

    def __init__(
        self,
        credentials: Credentials | None = None,
        project_id: str | None = None,
        space_id: str | None = None,
    ) -> None:
        if not isinstance(credentials, Credentials):
            raise TypeError(f"credentials must be a Credentials, got {type(credentials).__name__}.")
        if not credentials.url:
            raise ValueError("The credentials have no 'url'.")
        if credentials.version:
            if not credentials.username:
                raise ValueError("The credentials of a software installation need 'username'.")
            if not (credentials.api_key or credentials.password or credentials.token):
                raise ValueError("The credentials of a software installation need 'api_key' or 'password'.")
            if not credentials.instance_id:
                raise ValueError("The credentials of a software installation need 'instance_id'.")
        elif not (credentials.api_key or credentials.token):
            raise ValueError("The credentials of the hosted service need 'api_key' or 'token'.")
        self.credentials = credentials
        self.default_project_id = project_id
        self.default_space_id = space_id

    def __repr__(self) -> str:
        return f"APIClient(url={self.credentials.url!r})"
