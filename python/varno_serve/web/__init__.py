"""The HTTP layer of varno-serve: routes, handlers, body checks and the middleware that
maps the server's refusals to statuses. It is the only part of the server that knows
HTTP; ``make_app`` builds the application around a room service."""

from .app import make_app

__all__ = ["make_app"]
