"""What the hosts of varno say, in English and Portuguese, and the one table of the
module's rule messages.

The ``varno`` module refuses a move with a fixed Portuguese message (``Board.play``'s
``ValueError``); hosts show players their own language instead. ``RULE_MESSAGES`` maps
each of the module's twelve messages, word for word and in the order the module checks
them, to a stable code (``invalid_format`` ... ``target_missing``); ``TEXTS`` gives every
code its text in each language. A message the table does not know is shown as it is.

The texts are templates: ``{name}`` fields are filled by ``say`` (a result names the
winner and the loser, a prompt the side to move). Every host takes its texts from here:
the terminal host (``varno-play --lang``) and the web server, which serves the rule,
outcome and result texts to its page (``GET /api/texts``).
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Final, Literal

Lang = Literal["en", "pt"]
LANGUAGES: Final[tuple[Lang, Lang]] = ("en", "pt")
DEFAULT_LANGUAGE: Final[Lang] = "en"

# The module's rule messages, exactly as ``Board.play`` raises them, in the order of its
# checks, each with its code.
RULE_MESSAGES: Final[dict[str, str]] = {
    "Formato inválido.": "invalid_format",
    "Coordenada inválida.": "invalid_coordinate",
    "Não há carta nessa posição.": "no_card_there",
    "Não podes jogar uma carta virada para cima do adversário.": "opponent_card_face_up",
    "Precisas de um alvo para usar uma Figura (ex: A1A4).": "figure_needs_target",
    "Origem inválida.": "invalid_source",
    "Destino inválido.": "invalid_target",
    "Não podes virar a própria Figura.": "own_figure_target",
    "A carta de origem não está virada para cima.": "source_not_face_up",
    "A figura não te pertence.": "figure_not_yours",
    "Apenas cartas Figura escolhem alvos.": "only_figures_target",
    "A carta alvo não existe.": "target_missing",
}
RULE_CODES: Final[tuple[str, ...]] = tuple(RULE_MESSAGES.values())

# Why a game ended (``varno_play.rules.Outcome.reason``).
OUTCOME_REASONS: Final = ("no_cards", "both_no_cards", "repetition", "move_cap", "no_moves")
# The result of a game as one line: a win or a draw, with its reason in brackets.
RESULT_TEMPLATES: Final = ("result_win", "result_draw")

_RULES_EN: Final = {
    "invalid_format": "Invalid format.",
    "invalid_coordinate": "Invalid coordinate.",
    "no_card_there": "There is no card in that cell.",
    "opponent_card_face_up": "You cannot play a face-up card of your opponent.",
    "figure_needs_target": "You need a target to use a Figure (e.g. A1A4).",
    "invalid_source": "Invalid source.",
    "invalid_target": "Invalid target.",
    "own_figure_target": "You cannot turn your own Figure.",
    "source_not_face_up": "The source card is not face up.",
    "figure_not_yours": "That Figure is not yours.",
    "only_figures_target": "Only Figure cards choose targets.",
    "target_missing": "There is no target card.",
}
# In Portuguese the rule texts are the module's own messages.
_RULES_PT: Final = {code: message for message, code in RULE_MESSAGES.items()}

_OUTCOMES_EN: Final = {
    "result_win": "{winner} wins ({reason})",
    "result_draw": "draw ({reason})",
    "no_cards": "{loser} has no card left",
    "both_no_cards": "neither side has a card left",
    "repetition": "same position {times} times",
    "move_cap": "{cap} moves played",
    "no_moves": "neither side can move",
}
_OUTCOMES_PT: Final = {
    "result_win": "{winner} ganha ({reason})",
    "result_draw": "empate ({reason})",
    "no_cards": "{loser} já não tem cartas",
    "both_no_cards": "nenhum dos lados tem cartas",
    "repetition": "a mesma posição {times} vezes",
    "move_cap": "{cap} jogadas feitas",
    "no_moves": "nenhum dos lados pode jogar",
}

# The terminal host's own texts.
_HOST_EN: Final = {
    "rules": """\
Rules of this table:
  - Sides take turns, A first.
  - A side with no card left on the grid loses; if neither side has one, it is a draw.
  - The same position with the same side to move, seen three times, is a draw.
  - After {cap} moves the game is a draw.
  - A side with no legal move passes its turn; if neither side can move, it is a draw.""",
    "how_to_move": """\
Cells are named by row and column, A1 to C4. On the board, [ AN ] is a face-up
Normal card of A, [ BF ] a face-up Figure of B, [XXXXXX] a face-down card of
either side, [  --  ] an empty cell.
A move is one of:
  B2     play the card in B2: a face-down card (yours or not) is removed; your
         face-up Normal card turns face down and turns its neighbours over;
  A1C4   use your face-up Figure in A1 on the card in C4: that card turns over
         and the Figure turns face down.
Commands: ? or help shows this, q or quit ends the game.""",
    "seat_bot": "{side} (bot)",
    "seat_you": "{side} (you)",
    "to_move": "{seat} to move. Cards left: A {a}, B {b}.",
    "legal_moves": "Legal moves for {side} ({count}):",
    "no_legal_moves": "(none)",
    "intro_humans": "varno-play: two players at one terminal, A and B.",
    "intro_bots": "varno-play: the bot plays both sides (depth {depth}).",
    "intro_bot": "varno-play: you play {you}, the bot plays {bot} (depth {depth}).",
    "intro_keys": "Type a move such as B2 or A1C4, ? for the legal moves and the rules, "
                  "q to quit.",
    "passes": "{seat} has no legal move and passes.",
    "played": "Move {number}: {seat} played {move}{note}.",
    "thought": " (thought {seconds} s)",
    "abandoned": "game abandoned ({why})",
    "end_of_input": "end of input",
    "quit": "{side} quit",
    "interrupted": "interrupted",
    "result": "Result: {result}",
    "description": "Play varno at the terminal: a card game for two sides, A and B, on a "
                   "grid of 3 rows by 4 columns. By default you play against the bot.",
    "help_side": "the side you play against the bot (default: A, which moves first)",
    "help_depth": "how many moves ahead the bot looks (default: {default}; deeper is slower)",
    "help_bots": "let the bot play both sides",
    "help_humans": "two people at one terminal, no bot",
    "help_lang": "the language of the game: en (English) or pt (Portuguese); by default "
                 "the locale's (LC_ALL, LC_MESSAGES, LANG)",
    "side_with_bot": "--side is for a game against the bot",
    "depth_with_bot": "--depth is for a game with the bot",
    "not_whole": "not a whole number: {text!r}",
    "depth_range": "must be from 1 to {max}, not {depth}",
}
_HOST_PT: Final = {
    "rules": """\
Regras desta mesa:
  - Os lados jogam à vez, A primeiro.
  - Um lado sem cartas na grelha perde; se nenhum dos lados tiver cartas, é empate.
  - A mesma posição com o mesmo lado a jogar, vista três vezes, é empate.
  - Ao fim de {cap} jogadas o jogo é empate.
  - Um lado sem jogadas válidas passa a vez; se nenhum dos lados puder jogar, é empate.""",
    "how_to_move": """\
As casas têm o nome da linha e da coluna, de A1 a C4. No tabuleiro, [ AN ] é uma
carta Normal de A virada para cima, [ BF ] uma Figura de B virada para cima,
[XXXXXX] uma carta virada para baixo de qualquer lado, [  --  ] uma casa vazia.
Uma jogada é uma de:
  B2     jogar a carta em B2: uma carta virada para baixo (tua ou não) sai da
         grelha; a tua carta Normal virada para cima vira-se para baixo e vira
         as vizinhas;
  A1C4   usar a tua Figura virada para cima em A1 na carta em C4: essa carta
         vira-se e a Figura vira-se para baixo.
Comandos: ? ou ajuda mostra isto, q ou sair acaba o jogo.""",
    "seat_bot": "{side} (bot)",
    "seat_you": "{side} (tu)",
    "to_move": "Joga {seat}. Cartas na grelha: A {a}, B {b}.",
    "legal_moves": "Jogadas válidas de {side} ({count}):",
    "no_legal_moves": "(nenhuma)",
    "intro_humans": "varno-play: dois jogadores no mesmo terminal, A e B.",
    "intro_bots": "varno-play: o bot joga com os dois lados (profundidade {depth}).",
    "intro_bot": "varno-play: tu jogas com {you}, o bot com {bot} (profundidade {depth}).",
    "intro_keys": "Escreve uma jogada como B2 ou A1C4, ? para as jogadas válidas e as "
                  "regras, q para sair.",
    "passes": "{seat} não tem jogadas válidas e passa a vez.",
    "played": "Jogada {number}: {seat} jogou {move}{note}.",
    "thought": " (pensou {seconds} s)",
    "abandoned": "jogo abandonado ({why})",
    "end_of_input": "fim da entrada",
    "quit": "{side} saiu",
    "interrupted": "interrompido",
    "result": "Resultado: {result}",
    "description": "Joga varno no terminal: um jogo de cartas para dois lados, A e B, numa "
                   "grelha de 3 linhas por 4 colunas. Por omissão jogas contra o bot.",
    "help_side": "o lado com que jogas contra o bot (por omissão: A, que joga primeiro)",
    "help_depth": "quantas jogadas à frente o bot vê (por omissão: {default}; mais fundo "
                  "é mais lento)",
    "help_bots": "o bot joga com os dois lados",
    "help_humans": "duas pessoas no mesmo terminal, sem bot",
    "help_lang": "a língua do jogo: en (inglês) ou pt (português); por omissão a do "
                 "ambiente (LC_ALL, LC_MESSAGES, LANG)",
    "side_with_bot": "--side é para um jogo contra o bot",
    "depth_with_bot": "--depth é para um jogo com o bot",
    "not_whole": "não é um número inteiro: {text!r}",
    "depth_range": "tem de ser de 1 a {max}, não {depth}",
}

TEXTS: Final[dict[Lang, dict[str, str]]] = {
    "en": {**_RULES_EN, **_OUTCOMES_EN, **_HOST_EN},
    "pt": {**_RULES_PT, **_OUTCOMES_PT, **_HOST_PT},
}
# The texts a client of the rules needs (a web page): the rule messages', the outcomes'
# and the results'; the terminal's own texts stay with it.
SHARED_KEYS: Final = (*RULE_CODES, *OUTCOME_REASONS, *RESULT_TEMPLATES)


def say(lang: Lang, key: str, **fields: object) -> str:
    """The text ``key`` in ``lang``, its ``{name}`` fields filled from ``fields``."""
    template = TEXTS[lang][key]
    return template.format(**fields) if fields else template


def rule_code(message: str) -> str | None:
    """The code of one of the module's rule messages; None for a message it never gives."""
    return RULE_MESSAGES.get(message)


def rule_text(message: str, lang: Lang) -> str:
    """The module's rule ``message`` in ``lang``; a message the table does not know, as
    it is."""
    code = rule_code(message)
    return message if code is None else TEXTS[lang][code]


def shared_texts(lang: Lang) -> dict[str, str]:
    """The rule, outcome and result texts in ``lang``, by code."""
    return {key: TEXTS[lang][key] for key in SHARED_KEYS}


def language_of(environ: Mapping[str, str]) -> Lang:
    """The language the locale of ``environ`` asks for: the first of LC_ALL, LC_MESSAGES
    and LANG that is set decides, Portuguese for ``pt`` and its variants (``pt_PT.UTF-8``,
    ``pt_BR``), English for anything else."""
    for name in ("LC_ALL", "LC_MESSAGES", "LANG"):
        value = environ.get(name, "")
        if value:
            return "pt" if value.lower().startswith("pt") else "en"
    return DEFAULT_LANGUAGE
