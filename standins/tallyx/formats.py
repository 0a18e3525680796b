"""Formats: how a judge prompt (a system text and a user text) becomes the
``source`` an inference engine receives.

* ``Format`` (the default): one text, the system text and the user text
  separated by a blank line. Engines send it as a single user message.
* ``ChatAPIFormat``: a list of chat messages, ``{"role": "system", ...}``
  (when there is a system text) then ``{"role": "user", ...}``.
"""

from __future__ import annotations


class Format:
    """Renders a prompt as one text."""

    def format(self, system: str, user: str):
        return f"{system}\n\n{user}" if system else user

    def __repr__(self) -> str:
        return f"{type(self).__name__}()"


class ChatAPIFormat(Format):
    """Renders a prompt as a list of chat messages."""

    def format(self, system: str, user: str):
        messages = []
        if system:
            messages.append({"role": "system", "content": system})
        messages.append({"role": "user", "content": user})
        return messages
