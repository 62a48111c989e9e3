"""Rules and a computer opponent of a two-player card game on a 3x4 grid.

>>> import varno
>>> board = varno.Board()
>>> moves = board.get_legal_moves(varno.Player.A)
>>> board.play(moves[0], varno.Player.A, "room-1")
>>> reply = board.play_bot(varno.Player.B, 6)
>>> board.play(reply, varno.Player.B, "room-1") if reply else None
"""

from collections.abc import Callable
from typing import Any, ClassVar, SupportsIndex, final

__all__ = ["Player", "CardType", "Board"]

@final
class Player:
    """The two sides. ``Player.A`` (0) moves first in a hosted game."""

    A: ClassVar[Player]
    B: ClassVar[Player]
    # Members compare equal to each other and to integers, and are unhashable.
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __reduce__(self) -> tuple[Callable[[str, str], Player | CardType], tuple[str, str]]:
        """Pickles as a reference: unpickling gives back this very member."""

@final
class CardType:
    """The two kinds of card: ``Normal`` (0) and ``Figure`` (1)."""

    Normal: ClassVar[CardType]
    Figure: ClassVar[CardType]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __reduce__(self) -> tuple[Callable[[str, str], Player | CardType], tuple[str, str]]:
        """Pickles as a reference: unpickling gives back this very member."""

@final
class Board:
    """One game position. ``Board()`` deals a new game, every card face up.

    ``str(board)`` is the picture of the position; face-down cards are hidden.
    ``copy.copy``, ``copy.deepcopy`` and ``pickle`` give an independent ``Board`` in
    the same position, face-down cards included.
    """

    def __new__(cls) -> Board: ...
    def play(self, move_str: str, player: Player, _room_id: str) -> None:
        """Plays ``move_str`` (``"B2"`` or ``"A1C4"``) for ``player``.

        Raises ValueError with a Portuguese message when the rules refuse the move; the
        board is then unchanged. ``_room_id`` must be a str and is not used.
        """
    def get_legal_moves(self, player: Player) -> list[str]:
        """Every move that ``play`` accepts for ``player`` now, in ascending order."""
    def play_bot(self, player: Player, depth: SupportsIndex) -> str:
        """The bot's choice for ``player`` searching ``depth`` plies, without playing it.

        Returns ``""`` for depth 0 or when the bot has no move. ``depth`` must lie in
        0..4294967295 (OverflowError otherwise).
        """
    def __copy__(self) -> Board: ...
    def __deepcopy__(self, memo: Any) -> Board: ...
    def __getstate__(self) -> str:
        """The saved state: every cell, face-down cards included.

        Twelve cells row by row, rows separated by ``" / "``: ``AN``, ``AF``, ``BN``,
        ``BF`` face up, the same in lower case face down, ``--`` empty; for example
        ``"AN bf -- BN / an AF BN BN / bn AN BF af"``. It reveals the hidden cards, so
        keep it in server-side storage, never on the wire.
        """
    def __setstate__(self, state: str) -> None:
        """Puts the board in the position of ``state`` (a text of ``__getstate__``).

        Raises ValueError, changing nothing, when ``state`` is not exactly that form or
        holds more cards of an owner and kind than the deck has.
        """
    def __reduce__(self) -> tuple[Callable[[str], Board], tuple[str]]: ...
