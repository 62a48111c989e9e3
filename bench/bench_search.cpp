// bench_search [FILE]: nodes per second of the search core (bot_turn, table allocation
// included) over the first 20 positions of a bot vector file and fixed-seed fresh deals
// at depths 8 and 10. The node counts depend only on the behaviour, not on the machine.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "game/board.hpp"
#include "game/random.hpp"
#include "reference.hpp"
#include "vector_file.hpp"

namespace {

using namespace varno;

struct Job {
    std::string label;
    Grid grid;
    Player side;
    std::uint32_t depth;
    ZobristKeys keys;
};

Grid seeded_deal(std::uint64_t seed) {
    Xoshiro256 rng({seed, seed ^ 0x9E3779B97F4A7C15ull, ~seed, seed * 3 + 1});
    auto next_word = [&rng] { return rng.next_u32(); };
    Deck deck = initial_deck();
    shuffle(deck, next_word);
    return lay_out(deck);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : VARNO_VECTORS_DIR "/bot.tsv";
    std::vector<Job> jobs;
    try {
        std::vector<std::string> errors;
        const auto lines = vectors::load_file(path, errors);
        for (std::size_t i = 0; i < lines.size() && i < 20; ++i) {
            jobs.push_back({"line " + std::to_string(lines[i].line), lines[i].grid, lines[i].side,
                            lines[i].depth, vectors::keys_from_seed(lines[i].key_seed)});
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        for (std::uint32_t depth : {8u, 10u}) {
            jobs.push_back({"deal " + std::to_string(seed), seeded_deal(seed),
                            seed % 2 ? Player::A : Player::B, depth,
                            vectors::keys_from_seed(seed)});
        }
    }

    constexpr int REPEATS = 5;  // best of five
    std::printf("%-10s %4s %6s %12s %10s %10s\n", "position", "side", "depth", "nodes", "ms",
                "Mnodes/s");
    std::uint64_t total_nodes = 0;
    double total_seconds = 0;
    for (const Job& job : jobs) {
        double best = 1e30;
        std::uint64_t nodes = 0;
        for (int r = 0; r < REPEATS; ++r) {
            TurnStats stats;
            const auto start = std::chrono::steady_clock::now();
            const TurnOutcome outcome =
                bot_turn_with_stats(job.grid, job.side, job.depth, job.keys, stats, StopCheck{});
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            if (outcome.status != TurnStatus::Done) {
                std::fprintf(stderr, "%s: search did not complete\n", job.label.c_str());
                return 1;
            }
            best = std::min(best, elapsed.count());
            nodes = stats.nodes;
        }
        total_nodes += nodes;
        total_seconds += best;
        std::printf("%-10s %4s %6u %12llu %10.3f %10.1f\n", job.label.c_str(),
                    job.side == Player::A ? "A" : "B", job.depth,
                    static_cast<unsigned long long>(nodes), best * 1e3, nodes / best / 1e6);
    }
    std::printf("%-10s %4s %6s %12llu %10.3f %10.1f\n", "total", "", "",
                static_cast<unsigned long long>(total_nodes), total_seconds * 1e3,
                total_nodes / total_seconds / 1e6);

    // The cost of a shallow turn, table allocation and release included.
    constexpr int TURNS = 2000;
    const ZobristKeys keys = vectors::keys_from_seed(1);
    std::vector<Grid> deals;
    for (int i = 0; i < TURNS; ++i)
        deals.push_back(seeded_deal(100 + i));
    for (std::uint32_t depth : {1u, 2u}) {
        const auto start = std::chrono::steady_clock::now();
        for (const Grid& deal : deals) {
            if (bot_turn(deal, Player::A, depth, keys).status != TurnStatus::Done)
                return 1;
        }
        const std::chrono::duration<double, std::micro> elapsed =
            std::chrono::steady_clock::now() - start;
        std::printf("depth %u on a fresh deal: %.2f us per turn (mean of %d)\n", depth,
                    elapsed.count() / TURNS, TURNS);
    }
    return 0;
}
