"""Request bodies: read within bounds, parsed as a JSON object, and their fields checked."""

from __future__ import annotations

import json
from typing import Any, Final

from aiohttp import web

from varno_play.rules import SIDES, Side

from ..errors import Invalid, TooLarge
from ..room import DEFAULT_DEPTH, check_depth
from ..store import Mode

BODY_LIMIT: Final = 4096


def _no_constants(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


async def read_json(request: web.Request, allowed: set[str], required: set[str]) -> dict[str, Any]:
    """The request's JSON object; ``Invalid`` (or ``TooLarge``) unless it is one with
    only ``allowed`` fields and all ``required`` ones. An empty body is an empty object."""
    if request.content_length is not None and request.content_length > BODY_LIMIT:
        raise TooLarge(f"the body is over {BODY_LIMIT} bytes")
    try:
        raw = await request.read()
    except web.HTTPRequestEntityTooLarge:
        raise TooLarge(f"the body is over {BODY_LIMIT} bytes") from None
    if not raw.strip() and not required:
        return {}
    try:
        body = json.loads(raw.decode("utf-8"), parse_constant=_no_constants)
    except (UnicodeDecodeError, ValueError):
        raise Invalid("the body is not JSON") from None
    if not isinstance(body, dict):
        raise Invalid("the body must be a JSON object")
    only(body, allowed)
    missing = sorted(required - set(body))
    if missing:
        raise Invalid(f"missing field(s): {', '.join(missing)}")
    return body


def only(body: dict[str, Any], allowed: set[str]) -> None:
    unknown = sorted(set(body) - allowed)
    if unknown:
        raise Invalid(f"unknown field(s): {', '.join(unknown)}")


def text_field(body: dict[str, Any], name: str) -> str:
    value = body[name]
    if not isinstance(value, str):
        raise Invalid(f"{name} must be a string")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise Invalid(f"{name} is not valid text") from None
    return value


def new_room(body: dict[str, Any]) -> tuple[Mode, Side, int]:
    """The mode, side and depth a body asking for a new room gives; ``Invalid`` unless
    they are what a room can be made with."""
    mode = body.get("mode")
    if mode == "bot":
        only(body, {"mode", "side", "depth"})
        side = body.get("side", "A")
        if side not in SIDES:
            raise Invalid('side must be "A" or "B"')
        depth = check_depth(body.get("depth", DEFAULT_DEPTH))
        return "bot", "A" if side == "A" else "B", depth
    if mode == "humans":
        only(body, {"mode"})
        return "humans", "A", DEFAULT_DEPTH
    raise Invalid('mode must be "bot" or "humans"')
