// Test support: the bot search vectors (tests/data/README.md). Parses the lines of a
// vector file, builds the key table from a line's seed, runs the bot turn and lists what
// differs. Used by the C++ tests, the fuzz targets, check_vectors and bench_search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// The key table of a vector line: 108 consecutive outputs of splitmix64 from `seed`.
ZobristKeys keys_from_seed(std::uint64_t seed);

// A move in the notation ("" for none).
std::string move_string(const std::optional<Action>& move);

std::vector<std::string> split(const std::string& text, char separator);

// One line of a file (throws std::runtime_error saying what is wrong).
BotVector parse_line(const std::string& line, int number);

// Every vector line of a file; a line that does not parse is a failure of the caller's
// choosing, reported through `errors` ("line N: message"). Throws if the file cannot be
// opened.
std::vector<BotVector> load_file(const std::string& path, std::vector<std::string>& errors);

// Runs one vector; returns one message per field that differs (empty when it passes).
std::vector<std::string> check(const BotVector& vector);

}  // namespace varno::vectors
