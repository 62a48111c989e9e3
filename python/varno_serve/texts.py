"""The texts of the server's refusals in each language, by code, and what ``GET
/api/texts`` serves.

A refusal's ``error`` is English, with its particulars (``it is B's turn``); the texts
here are what a page shows in its player's language for the refusal's ``code``, so they
name no particulars. The rule messages of the module and the results of games come from
the one table of ``varno_play.texts``.
"""

from __future__ import annotations

import functools
from typing import Any, Final

from varno_play.rules import PLY_CAP, REPEAT_LIMIT
from varno_play.texts import LANGUAGES, RULE_MESSAGES, Lang, shared_texts

from .errors import RULE_CODES, SERVER_CODES, RuleCode, ServerCode
from .room import MAX_DEPTH, MIN_DEPTH

SERVER_TEXTS: Final[dict[Lang, dict[ServerCode, str]]] = {
    "en": {
        "not_json": "The request is not JSON.",
        "nested_too_deeply": "The request is nested too deeply.",
        "bad_body": "The request must be a JSON object.",
        "missing_field": "The request lacks a field it needs.",
        "unknown_field": "The request has a field the server does not know.",
        "bad_field": "A field of the request is not valid text.",
        "bad_mode": 'The mode must be "bot" or "humans".',
        "bad_side": 'The side must be "A" or "B".',
        "bad_depth": f"The depth must be a whole number from {MIN_DEPTH} to {MAX_DEPTH}.",
        "body_not_decoded": "The request cannot be decoded.",
        "not_websocket": "This address takes WebSocket connections only.",
        "bad_request": "The request is not one the server can answer.",
        "wrong_token": "You hold no seat in this room.",
        "wrong_invite": "Taking the free seat needs the room's invitation.",
        "foreign_origin": "Requests from pages of other sites are refused.",
        "no_such_room": "There is no such room.",
        "no_such_path": "There is nothing at this address.",
        "method_not_allowed": "This address does not take this kind of request.",
        "body_too_slow": "The request took too long to arrive.",
        "no_free_seat": "No seat is free in this room.",
        "seat_not_taken": "The other player has not taken their seat yet.",
        "not_your_turn": "It is not your turn.",
        "game_over": "The game is over.",
        "room_changed": "The room changed meanwhile; try again.",
        "no_takeback": "There is no move to take back now.",
        "no_rematch": "A rematch is for a finished game between two people.",
        "body_too_large": "The request is too large.",
        "wrong_content_type": "The request must say it is JSON (application/json).",
        "unknown_host": "This server does not answer for that address.",
        "too_many_requests": "Too many requests; slow down.",
        "too_many_rooms": "Too many new rooms; try again later.",
        "bot_busy": "The bot is busy; try again shortly.",
        "store_unavailable": "The rooms cannot be reached just now; nothing was changed. "
                             "Try again shortly.",
        "internal_error": "The server failed; nothing was changed.",
    },
    "pt": {
        "not_json": "O pedido não é JSON.",
        "nested_too_deeply": "O pedido tem níveis encaixados a mais.",
        "bad_body": "O pedido tem de ser um objeto JSON.",
        "missing_field": "Falta ao pedido um campo de que precisa.",
        "unknown_field": "O pedido tem um campo que o servidor não conhece.",
        "bad_field": "Um campo do pedido não é texto válido.",
        "bad_mode": 'O modo tem de ser "bot" ou "humans".',
        "bad_side": 'O lado tem de ser "A" ou "B".',
        "bad_depth": f"A profundidade tem de ser um número inteiro de {MIN_DEPTH} a "
                     f"{MAX_DEPTH}.",
        "body_not_decoded": "Não é possível descodificar o pedido.",
        "not_websocket": "Este endereço só aceita ligações WebSocket.",
        "bad_request": "O servidor não sabe responder a este pedido.",
        "wrong_token": "Não tens lugar nesta sala.",
        "wrong_invite": "Para ocupar o lugar livre é preciso o convite da sala.",
        "foreign_origin": "Os pedidos de páginas de outros sítios são recusados.",
        "no_such_room": "Essa sala não existe.",
        "no_such_path": "Não há nada neste endereço.",
        "method_not_allowed": "Este endereço não aceita este tipo de pedido.",
        "body_too_slow": "O pedido demorou demasiado a chegar.",
        "no_free_seat": "Não há lugares livres nesta sala.",
        "seat_not_taken": "O outro jogador ainda não ocupou o seu lugar.",
        "not_your_turn": "Não é a tua vez.",
        "game_over": "O jogo terminou.",
        "room_changed": "A sala mudou entretanto; tenta outra vez.",
        "no_takeback": "Agora não há jogada para anular.",
        "no_rematch": "A desforra é para um jogo terminado entre duas pessoas.",
        "body_too_large": "O pedido é demasiado grande.",
        "wrong_content_type": "O pedido tem de dizer que é JSON (application/json).",
        "unknown_host": "Este servidor não responde por esse endereço.",
        "too_many_requests": "Demasiados pedidos; abranda.",
        "too_many_rooms": "Demasiadas salas novas; tenta mais tarde.",
        "bot_busy": "O bot está ocupado; tenta daqui a pouco.",
        "store_unavailable": "As salas não estão acessíveis agora; nada foi alterado. "
                             "Tenta daqui a pouco.",
        "internal_error": "O servidor falhou; nada foi alterado.",
    },
}
# A rule message the table of varno_play does not know (a newer module's): its code.
UNKNOWN_RULE: Final[RuleCode] = "move_refused"
_UNKNOWN_RULE_TEXTS: Final[dict[Lang, str]] = {
    "en": "The rules refuse this move.",
    "pt": "As regras não permitem esta jogada.",
}


def rule_refusal(message: str) -> RuleCode:
    """The code of a rule message of the module; ``UNKNOWN_RULE`` for one the table does
    not know."""
    code = RULE_MESSAGES.get(message)
    return next((known for known in RULE_CODES if known == code), UNKNOWN_RULE)


class _Fields(dict[str, object]):
    """The fields a client cannot know, filled in; the others left as they are."""

    def __missing__(self, key: str) -> str:
        return f"{{{key}}}"


_RULES: Final = _Fields(times=REPEAT_LIMIT, cap=PLY_CAP)


def texts(lang: Lang) -> dict[str, str]:
    """Every text a client shows in ``lang``, by code: the refusals' (the module's rule
    messages and the server's own), the outcomes' and the results'. The numbers of the
    host rules are filled in; ``{winner}``, ``{loser}`` and ``{reason}`` are left to
    fill."""
    shared = {key: text.format_map(_RULES) for key, text in shared_texts(lang).items()}
    return {**shared, UNKNOWN_RULE: _UNKNOWN_RULE_TEXTS[lang],
            **{code: SERVER_TEXTS[lang][code] for code in SERVER_CODES}}


# Every code a text is given for, in the order ``texts`` gives them.
TEXT_KEYS: Final = tuple(texts("en"))


@functools.cache
def document() -> dict[str, Any]:
    """The answer of ``GET /api/texts``."""
    return {"languages": list(LANGUAGES), "texts": {lang: texts(lang) for lang in LANGUAGES}}
