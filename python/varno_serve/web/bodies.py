"""Request bodies: read within bounds of size and time, parsed as a JSON object, and
their fields checked. Whatever a body holds, a failure to read or parse it is a refusal
(4xx), never an error of the server."""

from __future__ import annotations

import asyncio
import json
from typing import Any, Final

from aiohttp import web
from aiohttp.http_exceptions import HttpProcessingError

from varno_play.rules import SIDES, Side

from ..errors import Invalid, TooLarge, TooSlow, Unreadable, Unsupported
from ..room import DEFAULT_DEPTH, check_depth
from ..store import Mode

BODY_LIMIT: Final = 4096


def check_type(request: web.BaseRequest) -> None:
    """``Unsupported`` unless the request says its body is JSON (``Content-Type:
    application/json``, parameters such as ``charset`` aside), judged before any of it
    is read. Every body the API takes is a JSON object, so a request without a
    ``Content-Type`` is refused the same way, whatever its length. A page of another
    site can send a form or ``text/plain`` without asking the server first, but not
    ``application/json``."""
    if request.content_type != "application/json" or "Content-Type" not in request.headers:
        raise Unsupported("the body must be application/json", "wrong_content_type")


def _no_constants(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


async def read_json(request: web.Request, allowed: set[str], required: set[str], *,
                    seconds: float) -> dict[str, Any]:
    """The request's JSON object; ``Invalid`` unless it is one with only ``allowed``
    fields and all ``required`` ones. An empty body is an empty object.

    The body must arrive within ``seconds`` (``TooSlow``), hold at most BODY_LIMIT bytes
    once decoded (``TooLarge``), and decode as its Content-Encoding says
    (``Unreadable``). A client that hangs up midway raises ``ConnectionError``.
    """
    if request.content_length is not None and request.content_length > BODY_LIMIT:
        raise TooLarge(f"the body is over {BODY_LIMIT} bytes", "body_too_large")
    try:
        async with asyncio.timeout(seconds):
            raw = await request.read()
    except TimeoutError:
        raise TooSlow(f"the body did not arrive within {seconds:g} s", "body_too_slow") from None
    except web.HTTPRequestEntityTooLarge:
        raise TooLarge(f"the body is over {BODY_LIMIT} bytes", "body_too_large") from None
    except (web.RequestPayloadError, HttpProcessingError):
        # A body that does not decode as its Content-Encoding says.
        raise Unreadable("the body cannot be decoded", "body_not_decoded") from None
    if not raw.strip() and not required:
        return {}
    try:
        body = json.loads(raw.decode("utf-8"), parse_constant=_no_constants)
    except (UnicodeDecodeError, ValueError):
        raise Invalid("the body is not JSON", "not_json") from None
    except RecursionError:
        raise Invalid("the body is nested too deeply", "nested_too_deeply") from None
    if not isinstance(body, dict):
        raise Invalid("the body must be a JSON object", "bad_body")
    only(body, allowed)
    missing = sorted(required - set(body))
    if missing:
        raise Invalid(f"missing field(s): {', '.join(missing)}", "missing_field")
    return body


def only(body: dict[str, Any], allowed: set[str]) -> None:
    unknown = sorted(set(body) - allowed)
    if unknown:
        raise Invalid(f"unknown field(s): {', '.join(unknown)}", "unknown_field")


def text_field(body: dict[str, Any], name: str) -> str:
    value = body[name]
    if not isinstance(value, str):
        raise Invalid(f"{name} must be a string", "bad_field")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise Invalid(f"{name} is not valid text", "bad_field") from None
    return value


def new_room(body: dict[str, Any]) -> tuple[Mode, Side, int]:
    """The mode, side and depth a body asking for a new room gives; ``Invalid`` unless
    they are what a room can be made with."""
    mode = body.get("mode")
    if mode == "bot":
        only(body, {"mode", "side", "depth"})
        side = body.get("side", "A")
        if side not in SIDES:
            raise Invalid('side must be "A" or "B"', "bad_side")
        depth = check_depth(body.get("depth", DEFAULT_DEPTH))
        return "bot", "A" if side == "A" else "B", depth
    if mode == "humans":
        only(body, {"mode"})
        return "humans", "A", DEFAULT_DEPTH
    raise Invalid('mode must be "bot" or "humans"', "bad_mode")
