"""The HTTP API of varno-serve described: an OpenAPI 3.1 document, served at
``/api/openapi.json``.

The document is built here, in Python, from the server's own terms rather than kept as a
JSON file beside it: the depths a room may ask for, the room identifiers' pattern, the
body limit, the cells a state shows, the safety headers and the status of every refusal
are the values the server itself uses, so none of them can drift from the code. What the
code cannot tell (which refusals each route raises, and why) is written once per route
below; the tests fuzz a running server against the document to keep that true.

To describe a new route: add its path to ``_paths`` with ``_operation``, its answers
(``_ok``) and its own refusals, each a class of ``varno_serve.errors`` and why the route
raises it; a refusal of every request goes in ``EVERY``, of every body in ``BODY``. A
new field: add it to its schema in ``_schemas``.
"""

from __future__ import annotations

import functools
import json
from typing import Any, Final

from aiohttp import web

from varno_play.rules import CELLS, DOWN, EMPTY, PLY_CAP, REASONS, REPEAT_LIMIT, SIDES
from varno_play.texts import LANGUAGES

from ..errors import (
    CODES,
    RULE_CODES,
    Busy,
    Code,
    Conflict,
    Forbidden,
    ForeignOrigin,
    Invalid,
    Misdirected,
    NotFound,
    Refusal,
    Refused,
    TooLarge,
    TooMany,
    TooSlow,
    Unavailable,
    Unsupported,
)
from ..room import DEFAULT_DEPTH, MAX_DEPTH, MIN_DEPTH, ROOM_ID
from ..texts import TEXT_KEYS
from .bodies import BODY_LIMIT
from .handlers import HEALTH_PATH, LOBBY_LIMIT, METRICS_PATH
from .middleware import SAFETY_HEADERS, status_of

PATH: Final = "/api/openapi.json"

Schema = dict[str, Any]
Responses = dict[str, Schema]
# A refusal a route may answer with: its class (whose status the middleware gives) and
# why the route raises it.
Why = tuple[type[Refusal], str, tuple[Code, ...]]

JSON: Final = "application/json"
TEXT: Final = "text/plain"
HTML: Final = "text/html"


def _ref(name: str, kind: str = "schemas") -> Schema:
    return {"$ref": f"#/components/{kind}/{name}"}


def _safety() -> dict[str, Schema]:
    return {name: _ref(name, "headers") for name in SAFETY_HEADERS}


def _answer(description: str, media: str | None = JSON, schema: Schema | None = None,
            headers: dict[str, Schema] | None = None, links: dict[str, Schema] | None = None
            ) -> Schema:
    """A response: its body (``media`` with ``schema``), headers beyond the safety ones
    that every response carries, and links to the operations it leads to."""
    response: Schema = {"description": description, "headers": {**_safety(), **(headers or {})}}
    if media is not None:
        response["content"] = {media: {"schema": schema if schema is not None else {}}}
    if links:
        response["links"] = links
    return response


def _ok(status: int, description: str, schema: Schema, media: str = JSON, *,
        headers: dict[str, Schema] | None = None, links: dict[str, Schema] | None = None
        ) -> Responses:
    return {str(status): _answer(description, media, schema, headers, links)}


def _refusals(*reasons: Why, media: str = JSON) -> Responses:
    """The refusals a route may answer with, one response per status (the reasons that
    share a status are listed together). Under /api/ the body is the error object, on
    the pages a line of text."""
    by_status: dict[int, list[Why]] = {}
    for reason in reasons:
        by_status.setdefault(status_of(reason[0]), []).append(reason)
    responses: Responses = {}
    for status, whys in sorted(by_status.items()):
        text = "; ".join(why for _, why, _ in whys)
        retry = any(issubclass(kind, (TooMany, Busy, Unavailable)) for kind, _, _ in whys)
        headers = {"Retry-After": _ref("Retry-After", "headers")} if retry else None
        codes = list(dict.fromkeys(code for _, _, codes in whys for code in codes))
        responses[str(status)] = _answer(text[0].upper() + text[1:] + ".", media,
                                         _error_body(media, codes), headers)
    return responses


def _error_body(media: str, codes: list[Code]) -> Schema:
    """The body of a refusal: under /api/ the error object with one of ``codes``, on the
    pages a line of text."""
    if media != JSON:
        return {"type": "string"}
    return {"allOf": [_ref("Error"), {"properties": {"code": {"enum": codes}}}]}


def _failure(media: str = JSON) -> Responses:
    """The answer to a failure of the server's own (the store failing, say): nothing
    was changed."""
    return {"500": _answer("The server failed (its store, say); nothing was changed.",
                           media, _error_body(media, ["internal_error"]))}


# What every request may be refused for, whatever the route.
EVERY: Final[tuple[Why, ...]] = (
    (Misdirected, "the request's `Host` is not one the server answers for (`--allowed-host`), "
     "or it has none; the connection is closed", ("unknown_host",)),
    (ForeignOrigin, "the request comes from a page of another origin (its `Origin` is not "
     "the server's own nor one given with `--allowed-origin`); the connection is closed",
     ("foreign_origin",)),
    (TooMany, "too many requests from this address (`requests_per_second`, "
     "`request_burst`); try again after `Retry-After` seconds", ("too_many_requests",)),
)
# What a request with a body may be refused for, whatever the route.
BODY: Final[tuple[Why, ...]] = (
    (Unsupported, "the request does not say its body is `application/json` (a `charset` "
     "is fine); the connection is closed", ("wrong_content_type",)),
    (Invalid, "the body is not a JSON object (not JSON, not UTF-8, nested too deeply, or "
     "not decoding as its `Content-Encoding` says), or it has an unknown field, lacks a "
     "required one or gives one a value outside its schema",
     ("not_json", "nested_too_deeply", "bad_body", "body_not_decoded", "unknown_field",
      "missing_field", "bad_field")),
    (TooSlow, "the body did not arrive within `idle_seconds` of its request's head; the "
     "connection is closed", ("body_too_slow",)),
    (TooLarge, f"the body is over {BODY_LIMIT} bytes; the connection is closed",
     ("body_too_large",)),
)
NO_ROOM: Final[Why] = (NotFound, "no such room", ("no_such_room",))
WRONG_TOKEN: Final[Why] = (Forbidden, "`token` holds no seat in this room", ("wrong_token",))
CHANGED: Final[Why] = (Conflict, "the room changed meanwhile", ("room_changed",))
# What a request that reads or writes the store may be refused for.
# Who may ask for the monitoring's paths without limit.
UNLIMITED_MONITORING: Final = (
    "Not rate limited when asked by loopback or a trusted proxy (`--trusted-proxy`) on its "
    "own behalf; a request a proxy passes on (`X-Forwarded-For` or `Forwarded`) counts "
    "against its client like any other.")
STORE_DOWN: Final[Why] = (Unavailable, "the store cannot be reached just now (its database "
                          "is down, or did not answer in time): nothing is acknowledged (read "
                          "the room again before repeating a change); try again after "
                          "`Retry-After` seconds", ("store_unavailable",))


def _operation(operation_id: str, summary: str, answers: Responses, *,
               refusals: tuple[Why, ...] = (), stored: bool = True, media: str = JSON,
               tag: str = "rooms", room: bool = False, parameters: list[Schema] | None = None,
               body: Schema | None = None, body_required: bool = True,
               description: str | None = None) -> Schema:
    """An operation: its ``answers``, then the refusals of every request (``EVERY``),
    of every body (``BODY``, if it takes one) and its own ``refusals``, as ``media``;
    ``stored``: it reads the store, which may fail (500) or be out of reach (503). ``room``: its path names a
    room (the parameter ``room``)."""
    operation: Schema = {"operationId": operation_id, "summary": summary, "tags": [tag]}
    if description is not None:
        operation["description"] = description
    if room:
        parameters = [_ref("room", "parameters"), *(parameters or [])]
    if parameters:
        operation["parameters"] = parameters
    if body is not None:
        operation["requestBody"] = {"required": body_required, "content": {JSON: {"schema": body}}}
    responses = {**answers, **_refusals(*EVERY, *(BODY if body is not None else ()), *refusals,
                                        *((STORE_DOWN,) if stored else ()), media=media)}
    if stored:
        responses.update(_failure(media))
    operation["responses"] = dict(sorted(responses.items()))
    return operation


def _room_link(operation_id: str, description: str, body: Schema | None = None) -> Schema:
    link: Schema = {"operationId": operation_id, "description": description,
                    "parameters": {"room": "$response.body#/room"}}
    if body is not None:
        link["requestBody"] = body
    return link


def _paths() -> dict[str, Schema]:
    token_links = {
        "getRoom": _room_link("getRoom", "The state of the room."),
        "postMove": _room_link("postMove", "A move with this seat's secret.",
                               {"token": "$response.body#/token"}),
    }
    state = _ref("State")
    page = {"type": "string"}
    cacheable = {"Cache-Control": _ref("Cache-Control", "headers")}
    bot_busy = ("the bot's queue is full (`pending_searches`), or out of reach (a queue on "
                "Redis); nothing changed")
    return {
        "/": {"get": _operation(
            "page", "The page: a new game against the bot, or a room for two",
            _ok(200, "The page.", page, HTML), stored=False, media=TEXT, tag="page")},
        "/rooms/{room}": {"get": _operation(
            "roomPage", "The page of a room: to play in it, or to watch it",
            {**_ok(200, "The page.", page, HTML),
             **_ok(404, "No such room: the page all the same, which says so and leads back "
                   "to the lobby.", page, HTML)},
            media=TEXT, tag="page", room=True)},
        "/static/{file}": {"get": _operation(
            "staticFile", "The page's script, style sheet and markup",
            {"200": {"description": "The file.", "headers": _safety(), "content": {
                media: {"schema": page} for media in ("text/javascript", "text/css", HTML)}},
             "404": _answer("No such file (the body, if any, is not to be read).", None)},
            refusals=((Forbidden, "a directory, or a path outside the page's files", ()),),
            stored=False, media=TEXT, tag="page",
            description="The page loads `app.js` and `style.css` from here.",
            parameters=[{"name": "file", "in": "path", "required": True, "schema": page,
                         "examples": {"script": {"value": "app.js"},
                                      "style": {"value": "style.css"}}}])},
        PATH: {"get": _operation(
            "openapi", "This document",
            _ok(200, "The OpenAPI document of this server.", {"type": "object"},
                headers=cacheable),
            stored=False, tag="server")},
        HEALTH_PATH: {"get": _operation(
            "health", "Whether this node serves: its store, its events and its bot's queue",
            {**_ok(200, "The store answers: the node serves. Its events or its bot's queue "
                   "may be down meanwhile: moves are still taken and stored, and watchers on "
                   "other nodes catch up once the events are back.", _ref("Health"),
                   headers={"Cache-Control": _ref("Cache-Control", "headers")}),
             **_ok(503, "The store does not answer: the node cannot serve.", _ref("Health"),
                   headers={"Cache-Control": _ref("Cache-Control", "headers")})},
            stored=False, media=TEXT, tag="operations",
            description="For load balancers. Each part is asked with a short timeout; one "
            "that does not answer in time is down. " + UNLIMITED_MONITORING)},
        METRICS_PATH: {"get": _operation(
            "metrics", "This process's metrics, in the Prometheus text format",
            _ok(200, "Requests by route and status, the time to acknowledge a move and to "
                "push a state, watchers, the bot's queue and searches, store and Redis "
                "errors: every metric is named `varno_*`.", {"type": "string"}, TEXT,
                headers={"Cache-Control": _ref("Cache-Control", "headers")}),
            stored=False, media=TEXT, tag="operations",
            description="For the monitoring. " + UNLIMITED_MONITORING)},
        "/api/config": {"get": _operation(
            "config", "What a client needs to ask for a room",
            _ok(200, "The depths the bot may search.", _ref("Config"), headers=cacheable),
            stored=False, tag="server")},
        "/api/texts": {"get": _operation(
            "texts", "The texts of every code, in each language the server speaks",
            _ok(200, "Every refusal's code (`Error`), outcome's reason (`Outcome`) and "
                "result template by language.", _ref("Texts"), headers=cacheable),
            stored=False, tag="server")},
        "/api/rooms": {
            "get": _operation(
                "listRooms", "The games under way, to watch, the most recently changed first "
                "(a room for two waiting for its invited player is not listed)",
                _ok(200, f"At most {LOBBY_LIMIT} rooms.", _ref("Lobby"))),
            "post": _operation(
                "createRoom", "A new room: against the bot, or for two people",
                _ok(201, "The room, and the seat of its creator with the seat's secret "
                    "(`token`), which is shown this once.", _ref("NewRoom"), links={
                        **token_links,
                        "joinRoom": _room_link("joinRoom", "The free seat of a room for two, "
                                               "with its invite.",
                                               {"invite": "$response.body#/invite"}),
                        "roomPage": _room_link("roomPage", "The page of the room."),
                        "startRoom": _room_link("startRoom", "The bot's first move, where it "
                                                "moves first.",
                                                {"token": "$response.body#/token"}),
                        "takeBack": _room_link("takeBack", "A takeback against the bot.",
                                               {"token": "$response.body#/token"}),
                        "replay": _room_link("replay", "The positions of the game so far."),
                    }),
                refusals=((Invalid, "a mode, side or depth outside the schema",
                           ("bad_mode", "bad_side", "bad_depth")),
                          (TooMany, "too many new rooms from this address "
                           "(`room_creations_per_minute`)", ("too_many_rooms",))),
                body=_ref("RoomRequest")),
        },
        "/api/rooms/{room}": {"get": _operation(
            "getRoom", "The state of a room, as anyone with its link may see it",
            _ok(200, "The state.", state), refusals=(NO_ROOM,), room=True)},
        "/api/rooms/{room}/replay": {"get": _operation(
            "replay", "The game's positions so far, to replay it: the deal, then the "
            "position after each entry of the history",
            _ok(200, "The positions.", _ref("Replay")), refusals=(NO_ROOM,), room=True)},
        "/api/rooms/{room}/join": {"post": _operation(
            "joinRoom", "Takes the free seat of a room",
            _ok(200, "The seat taken and its secret (`token`), shown this once.",
                _ref("Seat"), links=token_links),
            refusals=(NO_ROOM, (Forbidden, "no invite, or not the room's", ("wrong_invite",)),
                      (Conflict, "no free seat in this room", ("no_free_seat",)), CHANGED),
            room=True, body=_ref("JoinRequest"))},
        "/api/rooms/{room}/start": {"post": _operation(
            "startRoom", "Lets the bot make its first move, in a game where it moves first",
            _ok(200, "The state: the bot's first search is under way (`thinking`). Starting "
                "again, or in a room that does not wait for a start, changes nothing.", state),
            refusals=(NO_ROOM, WRONG_TOKEN, (Busy, bot_busy, ("bot_busy",)), CHANGED),
            room=True, body=_ref("TokenRequest"),
            description="Where the person plays B against the bot, the deal is shown and "
            "nothing is searched until this request.")},
        "/api/rooms/{room}/moves": {"post": _operation(
            "postMove", "Plays a move for the seat whose secret is `token`",
            _ok(200, "The state once the move is stored.", state, links={
                "getRoom": _room_link("getRoom", "The state of the room.")}),
            refusals=(NO_ROOM, WRONG_TOKEN,
                      (Conflict, "it is the other side's turn, the game is over, or the other "
                       "seat of a room for two is not taken yet",
                       ("not_your_turn", "game_over", "seat_not_taken")), CHANGED,
                      (Refused, "the rules refuse the move (malformed, or not allowed now); "
                       "`error` is the module's own message and `code` names it",
                       RULE_CODES),
                      (Busy, "the move hands the bot its turn and " + bot_busy,
                       ("bot_busy",))),
            room=True, body=_ref("MoveRequest"))},
        "/api/rooms/{room}/takeback": {"post": _operation(
            "takeBack", "Takes back the last move of the seat whose secret is `token`, "
            "against the bot, and the bot's moves after it",
            _ok(200, "The state once the takeback is stored: the position, the turn and the "
                "count of moves and positions seen are those of when that seat last had to "
                "move; the entries taken back stay in the history, marked `undone`.", state),
            refusals=(NO_ROOM, WRONG_TOKEN,
                      (Conflict, "nothing to take back: a room for two, the bot is thinking, "
                       "or the seat has played no move", ("no_takeback",)), CHANGED),
            room=True, body=_ref("TokenRequest"),
            description="Allowed when it is the person's turn, and once the game is over.")},
        "/api/rooms/{room}/rematch": {"post": _operation(
            "rematch", "A seat in the rematch of a finished game between two people, for "
            "the holder of `token`",
            _ok(200, "The seat in the rematch and its secret (`token`). The first of the two "
                "players to ask makes the rematch (a new deal, each player on the other side "
                "than before), which the finished room then names (`rematch`); the other is "
                "seated in it when they ask. Asking again gives the same seat and secret.",
                _ref("Seat"), links=token_links),
            refusals=(NO_ROOM, WRONG_TOKEN,
                      (Conflict, "the game is not over, or the room is not for two",
                       ("no_rematch",)), CHANGED),
            room=True, body=_ref("TokenRequest"))},
        "/api/rooms/{room}/ws": {"get": _operation(
            "watchRoom", "The state of a room now, then after every change (WebSocket)",
            {"101": {**_answer("The connection is a WebSocket. The server sends text "
                               "messages, each a `State` (the newest only: a slow reader "
                               "skips states), the first at once; what the client sends "
                               "is read and ignored. The server pings every 30 s. If the "
                               "store cannot be reached once the connection is a WebSocket, "
                               "it is closed with 1013 (try again later).", None),
                     "x-messages": state}},
            refusals=(NO_ROOM, (Invalid, "not a WebSocket handshake", ("not_websocket",))),
            room=True,
            description="A WebSocket upgrade (`Upgrade: websocket`, `Connection: Upgrade`, "
            "`Sec-WebSocket-Key`, `Sec-WebSocket-Version: 13`): each message the server "
            "sends is the JSON text of a `State` (`x-messages`).")},
    }


def _object(properties: dict[str, Schema], *, description: str | None = None,
            required: list[str] | None = None) -> Schema:
    """An object of exactly these fields (all of them required unless ``required``
    says which)."""
    schema: Schema = {"type": "object", "properties": properties,
                      "required": list(properties) if required is None else required,
                      "additionalProperties": False}
    if description is not None:
        schema = {"description": description, **schema}
    return schema


def _schemas() -> dict[str, Schema]:
    side = _ref("Side")
    room_id = {"type": "string", "pattern": f"^{ROOM_ID.pattern}$"}
    depth = {"type": "integer", "minimum": MIN_DEPTH, "maximum": MAX_DEPTH}
    cell = [f"{owner}{kind}" for owner in SIDES for kind in "NF"] + [DOWN, EMPTY]
    cells = {"type": "array", "minItems": CELLS, "maxItems": CELLS, "items": {"enum": cell}}
    secret = {"type": "string", "minLength": 1,
              "description": "A seat's secret: whoever sends it plays that seat."}
    cell_name = {"type": "string", "pattern": "^[A-C][1-4]$"}
    texts = _object({code: {"type": "string", "minLength": 1} for code in TEXT_KEYS})
    return {
        "Error": _object({
            "error": {"type": "string", "minLength": 1,
                      "description": "Why, in English (for a move the rules refuse, the "
                      "module's own message)."},
            "code": {"enum": list(CODES),
                     "description": "What was refused, by name: its text in each language "
                     "is in `/api/texts`."},
        }, description="Why a request was refused; it changed nothing."),
        "Texts": _object({
            "languages": {"const": list(LANGUAGES)},
            "texts": _object({lang: texts for lang in LANGUAGES}),
        }, description="The text of every code by language. A text may hold `{winner}`, "
           "`{loser}` (a side) and `{reason}` (an outcome's text) to fill in: a result is "
           "`result_win` or `result_draw` with its outcome's reason in it."),
        "Side": {"enum": list(SIDES)},
        "Move": {"type": "string", "pattern": "^[A-C][1-4]([A-C][1-4])?$",
                 "description": "A cell (`B2`), or a Figure's cell and its target's (`A1C4`)."},
        "Config": _object({"depth": _object({
            "min": {"const": MIN_DEPTH}, "max": {"const": MAX_DEPTH},
            "default": {"const": DEFAULT_DEPTH}})}),
        "RoomRequest": {"oneOf": [_ref("BotRoomRequest"), _ref("HumansRoomRequest")]},
        "BotRoomRequest": _object({
            "mode": {"const": "bot"},
            "side": {**side, "description": "The side you play (default A); A moves first."},
            "depth": {**depth, "default": DEFAULT_DEPTH,
                      "description": "How many plies the bot searches (a JSON integer: "
                      "8.0 is refused)."},
        }, required=["mode"], description="A game against the bot."),
        "HumansRoomRequest": _object(
            {"mode": {"const": "humans"}},
            description="A room for two people: its creator plays A, the other seat is "
            "taken with `join`."),
        "NewRoom": _object({
            "room": room_id, "seat": side, "token": secret,
            "invite": {"type": "string", "minLength": 1,
                       "description": "A room for two only: the secret that takes its free "
                       "seat, to send to the other player (`join`)."},
        }, required=["room", "seat", "token"]),
        "JoinRequest": _object({"invite": {"type": "string",
                                           "description": "The room's invite."}}),
        "Seat": _object({"room": room_id, "seat": side, "token": secret}),
        "TokenRequest": _object({"token": {"type": "string"}}),
        "MoveRequest": _object({"move": _ref("Move"), "token": {"type": "string"}},
                               description="Any text is judged as a move: one that is "
                               "malformed, or not allowed now, is a 422."),
        "Lobby": _object({"rooms": {"type": "array", "maxItems": LOBBY_LIMIT,
                                    "items": _ref("RoomSummary")}}),
        "RoomSummary": _object({
            "room": room_id,
            "mode": _ref("Mode"),
            "moves": {"type": "integer", "minimum": 0, "maximum": PLY_CAP},
        }),
        "Mode": {"enum": ["bot", "humans"]},
        "Health": _object({
            "node": {"type": "string", "description": "The node's name (`--node`)."},
            "store": {"enum": ["up", "down"], "description": "Where the rooms are kept."},
            "events": {"enum": ["up", "down", "local"],
                       "description": "The states' way to the other nodes' watchers "
                       "(`local`: this process's watchers only)."},
            "queue": {"enum": ["up", "down", "local"],
                      "description": "The bot's queue (`local`: this process's own workers)."},
        }, description="Whether each part of the node answers."),
        "State": _object({
            "room": room_id,
            "mode": _ref("Mode"),
            "cells": {**cells,
                      "description": f"Row by row (A1..A4, B1..C4): a face-up card (owner, "
                      f"Normal or Figure), `{DOWN}` face down, `{EMPTY}` empty."},
            "picture": {"type": "string", "description": "The board as the module draws it."},
            "to_move": {"enum": [*SIDES, None], "description": "None once the game is over."},
            "legal": {"type": "array", "items": _ref("Move"),
                      "description": "The moves of the side to move."},
            "history": {"type": "array", "items": _ref("Turn")},
            "last": {"oneOf": [_ref("LastMove"), {"type": "null"}],
                     "description": "The last move played and not taken back (a pass "
                     "plays none); None before the first."},
            "cards_left": _object({name: {"type": "integer", "minimum": 0} for name in SIDES},
                                  description="Each side's cards on the grid, face down or up."),
            "result": {"type": ["string", "null"],
                       "pattern": r"^(A wins|B wins|draw) \(.+\)$",
                       "description": "How the game ended, in English; None while it goes "
                       "on."},
            "outcome": {"oneOf": [_ref("Outcome"), {"type": "null"}],
                        "description": "How the game ended, in parts; None while it goes "
                        "on."},
            "started": {"type": "boolean",
                        "description": "False while the game waits for its start: a bot room "
                        "where the bot moves first (`start`), or a room for two whose other "
                        "seat is free."},
            "thinking": {"type": "boolean",
                         "description": "The bot is to move, and the game has started."},
            "seats": _object({name: {"enum": ["bot", "free", "taken"]} for name in SIDES}),
            "depth": {"oneOf": [depth, {"type": "null"}],
                      "description": "The bot's depth; None in a room for two."},
            "moves": {"type": "integer", "minimum": 0, "maximum": PLY_CAP,
                      "description": "Moves played (passes and moves taken back not "
                      "counted)."},
            "rematch": {"oneOf": [room_id, {"type": "null"}],
                        "description": "The room of this game's rematch (`rematch`), once "
                        "one of its players asked for it."},
            "version": {"type": "integer", "minimum": 0,
                        "description": "Grows by one with every change of the room."},
        }, description="A room as anyone with its link sees it."),
        "Turn": _object({
            "side": side,
            "move": {"oneOf": [_ref("Move"), {"type": "null"}],
                     "description": "None: the side had no move and passed."},
            "by": {"enum": ["bot", "human"]},
            "undone": {"const": True,
                       "description": "Taken back (`takeback`): it counts as not played."},
        }, required=["side", "move", "by"]),
        "LastMove": _object({
            "played": {"type": "array", "items": cell_name, "minItems": 1, "maxItems": 2,
                       "description": "The cell played, and the target of a Figure."},
            "turned": {"type": "array", "items": cell_name, "maxItems": 10,
                       "description": "Every other cell whose look the move changed: "
                       "turned over, or emptied."},
        }),
        "Outcome": _object({
            "winner": {"enum": [*SIDES, None], "description": "None: a draw."},
            "reason": {"enum": list(REASONS),
                       "description": "`no_cards`: the loser has no card left; "
                       "`both_no_cards`: neither side has; `repetition`: the same position, "
                       f"with the same side to move, {REPEAT_LIMIT} times; `move_cap`: "
                       f"{PLY_CAP} moves played; `no_moves`: neither side can move. Their "
                       "texts are in `/api/texts`."},
        }),
        "Replay": _object({
            "room": room_id,
            "version": {"type": "integer", "minimum": 0},
            "positions": {"type": "array", "minItems": 1, "items": _ref("Position"),
                          "description": "The deal, then the position after each entry of "
                          "the history, those taken back included. (A room kept by an older "
                          "server starts at the first position it kept.)"},
        }),
        "Position": _object({
            "cells": {**cells, "description": "As in `State`."},
            "entry": {"oneOf": [_ref("Turn"), {"type": "null"}],
                      "description": "The entry of the history that led here; None for the "
                      "deal."},
        }),
    }


def _headers() -> dict[str, Schema]:
    headers: dict[str, Schema] = {
        name: {"required": True, "description": "On every response.",
               "schema": {"const": value}}
        for name, value in SAFETY_HEADERS.items()
    }
    headers["Retry-After"] = {"required": True, "description": "Seconds to wait.",
                              "schema": {"type": "integer", "minimum": 1}}
    headers["Cache-Control"] = {"required": True, "schema": {"type": "string"}}
    return headers


DESCRIPTION: Final = f"""\
Games of varno in the browser and for other clients: against the bot, or between two \
people sharing a room's link. Anyone with a room's link may watch it; only the holders \
of its seats' secrets (`token`) may move. Face-down cards are shown as `{DOWN}`.

What every route shares:
- every GET also answers HEAD;
- every response carries the safety headers below, refusals included;
- refusals under `/api/` are `{{"error": text, "code": code}}` (`Error`): `error` in \
English, `code` the refusal's name, whose text in each language is in `/api/texts`; on \
the pages a line of text;
- a method a path does not take is answered 405 with `Allow` (`MethodNotAllowed`), a \
path that is not routed 404;
- every request counts against its client address's rate limit: 429 with `Retry-After`;
- request bodies are JSON objects of at most {BODY_LIMIT} bytes that must arrive within \
`idle_seconds`: 400, 413 or 408 otherwise (after a 408, a 413 or a body that does not \
decode, the connection is closed);
- a refused request changes nothing.
"""


@functools.cache
def document() -> dict[str, Any]:
    """The OpenAPI document of the server's HTTP API."""
    return {
        "openapi": "3.1.0",
        "info": {"title": "varno-serve", "version": "1", "description": DESCRIPTION},
        "tags": [
            {"name": "rooms", "description": "Rooms: made, watched, joined and played in."},
            {"name": "server", "description": "What the server tells its clients."},
            {"name": "page", "description": "The page in the browser, and its files."},
            {"name": "operations", "description": "For load balancers and the monitoring."},
        ],
        "paths": _paths(),
        "components": {
            "schemas": _schemas(),
            "parameters": {"room": {
                "name": "room", "in": "path", "required": True,
                "description": "The room's identifier (any other text names no room: 404).",
                "schema": {"type": "string", "pattern": f"^{ROOM_ID.pattern}$"}}},
            "headers": _headers(),
            "responses": {"MethodNotAllowed": _answer(
                "The path does not take this method; `Allow` lists those it takes.",
                JSON, _ref("Error"), {"Allow": {"required": True, "schema": {"type": "string"}}})},
        },
    }


@functools.cache
def _body() -> bytes:
    return json.dumps(document(), ensure_ascii=False, indent=1).encode("utf-8")


async def serve(request: web.Request) -> web.Response:
    """The document, cacheable: it changes only with the server's version."""
    response = web.Response(body=_body(), content_type=JSON, charset="utf-8")
    response.headers["Cache-Control"] = "public, max-age=3600"
    return response
