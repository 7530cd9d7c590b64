"""The broker an `mqtt` URL names, its password taken from the environment
where the URL holds none."""

from __future__ import annotations

import os
import urllib.parse
from dataclasses import dataclass, field

DEFAULT_PORT = 1883
PASSWORD_VARIABLE = "VELMAR_MQTT_PASSWORD"


@dataclass(frozen=True)
class Broker:
    host: str
    port: int
    user: str | None = None
    password: str | None = field(default=None, repr=False)

    @property
    def where(self) -> str:
        """The broker as lines name it: never with its user or password."""
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{host}:{self.port}"


def broker(url: str) -> Broker:
    """The broker of a URL that its option's check has passed. A password
    goes with a user only, as MQTT has it."""
    parts = urllib.parse.urlsplit(url)
    user = urllib.parse.unquote(parts.username) if parts.username else None
    if parts.password is not None:
        password = urllib.parse.unquote(parts.password)
    else:
        password = os.environ.get(PASSWORD_VARIABLE) or None
    return Broker(parts.hostname, parts.port or DEFAULT_PORT, user,
                  password if user is not None else None)
