// Test-only: the bot search vectors (tests/data/README.md). Parses the lines of
// a vector file, builds the key table from a line's seed, runs the bot turn and lists
// what differs. Shared by tests/cpp/test_bot*.cpp and tools/check_vectors.cpp; not part
// of the module.
#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bot/search.hpp"
#include "bot/turn.hpp"
#include "bot/zobrist.hpp"
#include "game/board.hpp"

namespace varno::vectors {

struct BotVector {
    int line = 0;  // 1-based line number in the file
    Grid grid{};
    Player side = Player::A;
    std::uint32_t depth = 0;
    std::uint64_t key_seed = 0;
    std::string move;                   // "" for `-`
    std::optional<std::int64_t> score;  // absent for `-`
    std::vector<std::uint64_t> iteration_nodes;
};

inline ZobristKeys keys_from_seed(std::uint64_t seed) {
    ZobristKeys keys{};
    std::uint64_t state = seed;
    for (auto& row : keys) {
        for (auto& cell : row) {
            for (auto& key : cell) {
                state += 0x9E3779B97F4A7C15ull;
                std::uint64_t z = state;
                z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
                z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
                key = z ^ (z >> 31);
            }
        }
    }
    return keys;
}

inline std::string move_string(const std::optional<Action>& move) {
    std::string text;
    if (move) {
        text += static_cast<char>('A' + move->row);
        text += static_cast<char>('1' + move->col);
        if (move->target) {
            text += static_cast<char>('A' + move->target->row);
            text += static_cast<char>('1' + move->target->col);
        }
    }
    return text;
}

// One cell in the vectors' notation: AN af -- -bf ...
inline Cell parse_cell(const std::string& token) {
    if (token == "--")
        return Cell{CellState::Empty, Player::A, CardType::Normal};
    std::string card = token;
    CellState state = CellState::FaceUp;
    if (card.size() == 3 && card[0] == '-') {
        state = CellState::Empty;
        card = card.substr(1);
    }
    if (card.size() != 2)
        throw std::runtime_error("bad cell '" + token + "'");
    const char owner = card[0], kind = card[1];
    if (state != CellState::Empty)
        state = (owner == 'a' || owner == 'b') ? CellState::FaceDown : CellState::FaceUp;
    if (state == CellState::Empty && (owner == 'A' || owner == 'B'))
        throw std::runtime_error("bad cell '" + token + "'");
    Cell cell{state, Player::A, CardType::Normal};
    switch (owner) {
        case 'A':
        case 'a':
            cell.owner = Player::A;
            break;
        case 'B':
        case 'b':
            cell.owner = Player::B;
            break;
        default:
            throw std::runtime_error("bad cell '" + token + "'");
    }
    switch (kind) {
        case 'N':
        case 'n':
            cell.kind = CardType::Normal;
            break;
        case 'F':
        case 'f':
            cell.kind = CardType::Figure;
            break;
        default:
            throw std::runtime_error("bad cell '" + token + "'");
    }
    return cell;
}

// Twelve cells, rows separated by " / ".
inline Grid parse_grid(const std::string& text) {
    std::istringstream in(text);
    Grid grid{};
    std::string token;
    unsigned count = 0;
    while (in >> token) {
        if (token == "/")
            continue;
        if (count == CELL_COUNT)
            throw std::runtime_error("more than twelve cells");
        grid.cells[count++] = parse_cell(token);
    }
    if (count != CELL_COUNT)
        throw std::runtime_error("fewer than twelve cells");
    return grid;
}

inline std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(text);
    while (std::getline(in, field, separator))
        fields.push_back(field);
    if (!text.empty() && text.back() == separator)
        fields.emplace_back();
    return fields;
}

inline BotVector parse_line(const std::string& line, int number) {
    const std::vector<std::string> fields = split(line, '\t');
    if (fields.size() != 7)
        throw std::runtime_error("expected 7 tab-separated fields");
    BotVector vector;
    vector.line = number;
    vector.grid = parse_grid(fields[0]);
    if (fields[1] != "A" && fields[1] != "B")
        throw std::runtime_error("bad side '" + fields[1] + "'");
    vector.side = fields[1] == "A" ? Player::A : Player::B;
    const unsigned long long depth = std::stoull(fields[2]);
    if (depth > 0xFFFFFFFFull)
        throw std::runtime_error("depth out of range");
    vector.depth = static_cast<std::uint32_t>(depth);
    vector.key_seed = std::stoull(fields[3]);
    vector.move = fields[4] == "-" ? "" : fields[4];
    if (fields[5] != "-")
        vector.score = std::stoll(fields[5]);
    if (!fields[6].empty() && fields[6] != "-") {
        for (const std::string& count : split(fields[6], ','))
            vector.iteration_nodes.push_back(std::stoull(count));
    }
    return vector;
}

// Every vector line of a file; a line that does not parse is a failure of the caller's
// choosing, reported through `errors` ("line N: message").
inline std::vector<BotVector> load_file(const std::string& path, std::vector<std::string>& errors) {
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    std::vector<BotVector> vectors;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        try {
            vectors.push_back(parse_line(line, number));
        } catch (const std::exception& error) {
            errors.push_back("line " + std::to_string(number) + ": " + error.what());
        }
    }
    return vectors;
}

inline std::string join(const std::vector<std::uint64_t>& counts) {
    std::string text;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (i)
            text += ',';
        text += std::to_string(counts[i]);
    }
    return text;
}

// Runs one vector; returns one message per field that differs (empty when it passes).
inline std::vector<std::string> check(const BotVector& vector) {
    const ZobristKeys keys = keys_from_seed(vector.key_seed);
    TurnStats stats;
    const TurnOutcome outcome =
        bot_turn(vector.grid, vector.side, vector.depth, keys, StopCheck{}, &stats);
    std::vector<std::string> problems;
    const std::string prefix = "line " + std::to_string(vector.line) + ": ";
    if (outcome.status != TurnStatus::Done) {
        problems.push_back(prefix + "status: expected Done, got " +
                           std::to_string(static_cast<int>(outcome.status)));
        return problems;
    }
    const std::string move = move_string(outcome.move);
    if (move != vector.move) {
        problems.push_back(prefix + "move: expected " + (vector.move.empty() ? "-" : vector.move) +
                           ", got " + (move.empty() ? "-" : move));
    }
    if (vector.score && stats.score != *vector.score) {
        problems.push_back(prefix + "score: expected " + std::to_string(*vector.score) + ", got " +
                           std::to_string(stats.score));
    }
    if (stats.iteration_nodes != vector.iteration_nodes) {
        problems.push_back(prefix + "iteration_nodes: expected " + join(vector.iteration_nodes) +
                           ", got " + join(stats.iteration_nodes));
    }
    return problems;
}

}  // namespace varno::vectors
