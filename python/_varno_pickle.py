"""Rebuilds pickled ``varno`` objects.

The classes of ``varno`` live in the extension under the module name "builtins",
where pickle cannot look them up, so their ``__reduce__`` names the functions of
this module instead. A pickled ``Board`` carries its saved state, the text of
``Board.__getstate__()`` (every cell, face-down cards included); the format is
fixed, so a pickle written by any version loads in every later one. Pickles, like
the saved state, reveal the hidden cards: keep them in server-side storage.
"""

from __future__ import annotations

import varno

__all__ = ["board", "member"]

_MEMBERS: dict[tuple[str, str], varno.Player | varno.CardType] = {
    ("Player", "A"): varno.Player.A,
    ("Player", "B"): varno.Player.B,
    ("CardType", "Normal"): varno.CardType.Normal,
    ("CardType", "Figure"): varno.CardType.Figure,
}


def board(state: str) -> varno.Board:
    """A new ``Board`` in the position of ``state``, a text of ``Board.__getstate__``.

    Raises ``ValueError`` if ``state`` is not the saved state of a possible position.
    """
    restored = varno.Board()
    restored.__setstate__(state)
    return restored


def member(class_name: str, name: str) -> varno.Player | varno.CardType:
    """The member ``class_name.name`` of ``Player`` or ``CardType`` (the object itself)."""
    try:
        return _MEMBERS[(class_name, name)]
    except (KeyError, TypeError):
        raise ValueError(f"no such varno member: {class_name!r}.{name!r}") from None
