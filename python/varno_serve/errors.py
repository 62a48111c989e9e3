"""Why a request is refused, in the server's own terms.

The rooms, the service, the limits and the body checks raise these; only the web layer
(``varno_serve.web``) turns them into HTTP statuses. Each carries the message the client
is shown. A refused request changes nothing.
"""

from __future__ import annotations


class Refusal(Exception):
    """A request the server refuses; ``message`` says why, for the client."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class Invalid(Refusal):
    """The request is malformed: a body or field that is not what is asked."""


class Forbidden(Refusal):
    """The request is well formed but its sender may not make it (a wrong seat secret, no
    invite or a wrong one)."""


class ForeignOrigin(Forbidden):
    """The request comes from a page of another origin than the server's own."""


class Misdirected(Refusal):
    """The request names a host the server does not answer for (its ``Host``), or none."""


class Unsupported(Refusal):
    """A body of another type than JSON."""


class NotFound(Refusal):
    """No such room."""


class Conflict(Refusal):
    """The room's state does not allow it now: not your turn, the game is over, no free
    seat, or the room changed meanwhile."""


class Refused(Refusal):
    """A move the rules refuse; the message is the module's own."""


class TooLarge(Refusal):
    """A body over the size allowed."""


class TooSlow(Refusal):
    """A body that did not arrive in time."""


class Unreadable(Invalid):
    """A body that cannot be read at all (it does not decode)."""


class TooMany(Refusal):
    """Too many requests from one client; it may try again after ``retry_after`` seconds."""

    def __init__(self, message: str, retry_after: float) -> None:
        super().__init__(message)
        self.retry_after = retry_after


class Busy(Refusal):
    """The server cannot take the request now; it may be sent again after ``retry_after``
    seconds."""

    def __init__(self, message: str, retry_after: float) -> None:
        super().__init__(message)
        self.retry_after = retry_after


class Unavailable(Refusal):
    """A part the request needs (the store) cannot be reached now; nothing was changed
    that the answer would acknowledge, and the request may be sent again after
    ``retry_after`` seconds."""

    def __init__(self, message: str, retry_after: float) -> None:
        super().__init__(message)
        self.retry_after = retry_after
