#include "vector_file.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "grid_text.hpp"
#include "reference.hpp"

namespace varno::vectors {

ZobristKeys keys_from_seed(std::uint64_t seed) {
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

std::string move_string(const std::optional<Action>& move) {
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

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(text);
    while (std::getline(in, field, separator))
        fields.push_back(field);
    if (!text.empty() && text.back() == separator)
        fields.emplace_back();
    return fields;
}

BotVector parse_line(const std::string& line, int number) {
    const std::vector<std::string> fields = split(line, '\t');
    if (fields.size() != 7)
        throw std::runtime_error("expected 7 tab-separated fields");
    BotVector vector;
    vector.line = number;
    vector.grid = support::parse_grid(fields[0]);
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
std::vector<BotVector> load_file(const std::string& path, std::vector<std::string>& errors) {
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

static std::string join(const std::vector<std::uint64_t>& counts) {
    std::string text;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (i)
            text += ',';
        text += std::to_string(counts[i]);
    }
    return text;
}

// Runs one vector; returns one message per field that differs (empty when it passes).
std::vector<std::string> check(const BotVector& vector) {
    const ZobristKeys keys = keys_from_seed(vector.key_seed);
    TurnStats stats;
    const TurnOutcome outcome =
        bot_turn_with_stats(vector.grid, vector.side, vector.depth, keys, stats);
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
