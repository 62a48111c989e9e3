"""A small pure-Python model of the game rules, to check the module against.

A position is twelve cells, row-major, each a list [state, owner, kind] with state one of
UP, DOWN, EMPTY, owner "A" or "B" and kind "N" or "F". A fresh deal shows every card,
so a model is built from the picture of a new Board and then follows the same moves.
"""

UP, DOWN, EMPTY = "up", "down", "empty"
ROWS, COLS = 3, 4

BAD_FORMAT = "Formato inválido."
BAD_COORDINATE = "Coordenada inválida."
NO_CARD = "Não há carta nessa posição."
OPPONENT_FACE_UP = "Não podes jogar uma carta virada para cima do adversário."
FIGURE_NEEDS_TARGET = "Precisas de um alvo para usar uma Figura (ex: A1A4)."
BAD_SOURCE = "Origem inválida."
BAD_TARGET = "Destino inválido."
SAME_CELL = "Não podes virar a própria Figura."
SOURCE_NOT_FACE_UP = "A carta de origem não está virada para cima."
NOT_YOUR_FIGURE = "A figura não te pertence."
NOT_A_FIGURE = "Apenas cartas Figura escolhem alvos."
NO_TARGET_CARD = "A carta alvo não existe."

MESSAGES = (
    BAD_FORMAT, BAD_COORDINATE, NO_CARD, OPPONENT_FACE_UP, FIGURE_NEEDS_TARGET,
    BAD_SOURCE, BAD_TARGET, SAME_CELL, SOURCE_NOT_FACE_UP, NOT_YOUR_FIGURE,
    NOT_A_FIGURE, NO_TARGET_CARD,
)

HEADER = "   1   2   3   4\n"
CELL_NAMES = [r + c for r in "ABC" for c in "1234"]
# The 12 plain and 144 targeted texts made of cell names.
COORDINATE_TEXTS = CELL_NAMES + [s + t for s in CELL_NAMES for t in CELL_NAMES]


def index_of(name):
    """The cell index of a name such as "B2"."""
    return CELL_NAMES.index(name)


def _square(b0, b1):
    row, col = b0 - ord("A"), b1 - ord("1")
    if 0 <= row < ROWS and 0 <= col < COLS:
        return row * COLS + col
    return None


def _neighbours(i):
    row, col = divmod(i, COLS)
    if row > 0:
        yield i - COLS
    if row < ROWS - 1:
        yield i + COLS
    if col > 0:
        yield i - 1
    if col < COLS - 1:
        yield i + 1


class Model:
    def __init__(self, cells):
        self.cells = [list(cell) for cell in cells]

    @classmethod
    def from_picture(cls, picture):
        """The position of a fresh deal, read from its picture (every card face up)."""
        lines = picture.split("\n")
        assert lines[0] + "\n" == HEADER and lines[4] == "" and len(lines) == 5, picture
        cells = []
        for row, line in enumerate(lines[1:4]):
            assert line.startswith("ABC"[row] + " "), line
            body = line[2:]
            assert len(body) == 24, line
            for col in range(COLS):
                face = body[6 * col:6 * col + 6]
                assert face[:2] == "[ " and face[4:] == " ]" and face[2] in "AB" and face[3] in "NF"
                cells.append([UP, face[2], face[3]])
        return cls(cells)

    def copy(self):
        return Model(self.cells)

    def cell(self, name):
        return self.cells[index_of(name)]

    def _flip(self, i):
        cell = self.cells[i]
        if cell[0] == UP:
            cell[0] = DOWN
        elif cell[0] == DOWN:
            cell[0] = UP

    def check(self, text, side):
        """The message refusing `text` for `side` ("A" or "B"), or None if it is allowed.
        Raises UnicodeEncodeError for texts that have no UTF-8 form."""
        data = text.encode("utf-8")
        if len(data) == 2:
            i = _square(data[0], data[1])
            if i is None:
                return BAD_COORDINATE
            state, owner, kind = self.cells[i]
            if state == DOWN:
                return None
            if state == EMPTY:
                return NO_CARD
            if owner != side:
                return OPPONENT_FACE_UP
            if kind == "F":
                return FIGURE_NEEDS_TARGET
            return None
        if len(data) == 4:
            source = _square(data[0], data[1])
            if source is None:
                return BAD_SOURCE
            target = _square(data[2], data[3])
            if target is None:
                return BAD_TARGET
            if source == target:
                return SAME_CELL
            state, owner, kind = self.cells[source]
            if state != UP:
                return SOURCE_NOT_FACE_UP
            if owner != side:
                return NOT_YOUR_FIGURE
            if kind != "F":
                return NOT_A_FIGURE
            if self.cells[target][0] == EMPTY:
                return NO_TARGET_CARD
            return None
        return BAD_FORMAT

    def play(self, text, side):
        """Applies `text` for `side`, or raises ValueError with the refusal message."""
        message = self.check(text, side)
        if message is not None:
            raise ValueError(message)
        data = text.encode("ascii")
        source = _square(data[0], data[1])
        if len(data) == 4:
            self._flip(_square(data[2], data[3]))
            self._flip(source)
        elif self.cells[source][0] == DOWN:
            self.cells[source][0] = EMPTY
        else:
            self._flip(source)
            for n in _neighbours(source):
                self._flip(n)

    def legal_moves(self, side):
        moves = []
        for i, (state, owner, kind) in enumerate(self.cells):
            if state == DOWN or (state == UP and owner == side and kind == "N"):
                moves.append(CELL_NAMES[i])
            elif state == UP and owner == side:
                moves.extend(CELL_NAMES[i] + CELL_NAMES[t] for t in range(ROWS * COLS)
                             if t != i and self.cells[t][0] != EMPTY)
        return moves

    def render(self):
        out = [HEADER]
        for row in range(ROWS):
            out.append("ABC"[row] + " ")
            for state, owner, kind in self.cells[row * COLS:(row + 1) * COLS]:
                if state == UP:
                    out.append("[ " + owner + kind + " ]")
                elif state == DOWN:
                    out.append("[XXXXXX]")
                else:
                    out.append("[  --  ]")
            out.append("\n")
        return "".join(out)
