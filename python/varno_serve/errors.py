"""Why a request is refused, in the server's own terms.

The rooms, the service, the limits and the body checks raise these; only the web layer
(``varno_serve.web``) turns them into HTTP statuses. Each carries the message the client
is shown, in English, and a code that names the refusal (``varno_serve.texts`` has every
code's text in each language). A refused request changes nothing.
"""

from __future__ import annotations

from typing import Final, Literal, get_args

# The module's rule messages by code (``varno_play.texts.RULE_MESSAGES``): a move the
# rules refuse (422), and ``move_refused`` for a message the table does not know.
RuleCode = Literal[
    "invalid_format", "invalid_coordinate", "no_card_there", "opponent_card_face_up",
    "figure_needs_target", "invalid_source", "invalid_target", "own_figure_target",
    "source_not_face_up", "figure_not_yours", "only_figures_target", "target_missing",
    "move_refused",
]
# The server's own refusals, one code each, grouped by status.
ServerCode = Literal[
    # 400
    "not_json", "nested_too_deeply", "bad_body", "missing_field", "unknown_field",
    "bad_field", "bad_mode", "bad_side", "bad_depth", "body_not_decoded", "not_websocket",
    "bad_request",
    # 403
    "wrong_token", "wrong_invite", "foreign_origin",
    # 404, 405
    "no_such_room", "no_such_path", "method_not_allowed",
    # 408
    "body_too_slow",
    # 409
    "no_free_seat", "seat_not_taken", "not_your_turn", "game_over", "room_changed",
    "no_takeback", "no_rematch",
    # 413, 415, 421
    "body_too_large", "wrong_content_type", "unknown_host",
    # 429, 503, 500
    "too_many_requests", "too_many_rooms", "bot_busy", "store_unavailable", "internal_error",
]
Code = RuleCode | ServerCode
RULE_CODES: Final[tuple[RuleCode, ...]] = get_args(RuleCode)
SERVER_CODES: Final[tuple[ServerCode, ...]] = get_args(ServerCode)
CODES: Final[tuple[Code, ...]] = (*RULE_CODES, *SERVER_CODES)


class Refusal(Exception):
    """A request the server refuses; ``message`` says why, for the client, and ``code``
    names the refusal (one of ``CODES``)."""

    def __init__(self, message: str, code: Code) -> None:
        super().__init__(message)
        self.message = message
        self.code = code


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
    """A move the rules refuse; the message is the module's own, the code its code in
    ``varno_play.texts.RULE_MESSAGES``."""


class TooLarge(Refusal):
    """A body over the size allowed."""


class TooSlow(Refusal):
    """A body that did not arrive in time."""


class Unreadable(Invalid):
    """A body that cannot be read at all (it does not decode)."""


class TooMany(Refusal):
    """Too many requests from one client; it may try again after ``retry_after`` seconds."""

    def __init__(self, message: str, code: Code, retry_after: float) -> None:
        super().__init__(message, code)
        self.retry_after = retry_after


class Busy(Refusal):
    """The server cannot take the request now; it may be sent again after ``retry_after``
    seconds."""

    def __init__(self, message: str, code: Code, retry_after: float) -> None:
        super().__init__(message, code)
        self.retry_after = retry_after


class Unavailable(Refusal):
    """A part the request needs (the store) cannot be reached now; nothing was changed
    that the answer would acknowledge, and the request may be sent again after
    ``retry_after`` seconds."""

    def __init__(self, message: str, code: Code, retry_after: float) -> None:
        super().__init__(message, code)
        self.retry_after = retry_after
