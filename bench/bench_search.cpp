// bench_search [FILE]: nodes per second of the search core (bot_turn, table allocation
// included) over the first 20 positions of a bot vector file and fixed-seed fresh deals
// at depths 8 and 10, per group and overall. The node counts depend only on the
// behaviour, not on the machine. The same jobs run again on a table of 1 MiB, which
// stays in the caches: the speed of the search without the memory wall, and the ratio
// of the product's table to it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "game/board.hpp"
#include "game/deal.hpp"
#include "game/random.hpp"
#include "reference.hpp"
#include "vector_file.hpp"

namespace {

using namespace varno;

struct Job {
    std::string label;
    std::string group;
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

struct Totals {
    std::string group;
    std::uint64_t nodes = 0;
    double seconds = 0;
    double rate() const { return nodes / seconds; }
};

constexpr int REPEATS = 5;  // best of five

// Runs every job on a table of 2^slot_bits slots; the totals of each group in order of
// appearance, then of all ("total"). Prints each job when `print`. Empty if a search
// did not complete.
std::optional<std::vector<Totals>> run(const std::vector<Job>& jobs, unsigned slot_bits,
                                       bool print) {
    std::vector<Totals> groups;
    Totals all{"total"};
    for (const Job& job : jobs) {
        double best = 1e30;
        std::uint64_t nodes = 0;
        for (int r = 0; r < REPEATS; ++r) {
            TurnStats stats;
            const auto start = std::chrono::steady_clock::now();
            const TurnOutcome outcome = bot_turn_with_stats(job.grid, job.side, job.depth, job.keys,
                                                            stats, StopCheck{}, slot_bits);
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            if (outcome.status != TurnStatus::Done) {
                std::fprintf(stderr, "%s: search did not complete\n", job.label.c_str());
                return std::nullopt;
            }
            best = std::min(best, elapsed.count());
            nodes = stats.nodes;
        }
        auto group = std::find_if(groups.begin(), groups.end(), [&job](const Totals& totals) {
            return totals.group == job.group;
        });
        if (group == groups.end())
            group = groups.insert(groups.end(), Totals{job.group});
        for (Totals* totals : {&*group, &all}) {
            totals->nodes += nodes;
            totals->seconds += best;
        }
        if (print)
            std::printf("%-10s %4s %6u %12llu %10.3f %10.1f\n", job.label.c_str(),
                        job.side == Player::A ? "A" : "B", job.depth,
                        static_cast<unsigned long long>(nodes), best * 1e3, nodes / best / 1e6);
    }
    groups.push_back(all);
    return groups;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : VARNO_VECTORS_DIR "/bot.tsv";
    std::vector<Job> jobs;
    try {
        std::vector<std::string> errors;
        const auto lines = vectors::load_file(path, errors);
        for (std::size_t i = 0; i < lines.size() && i < 20; ++i) {
            jobs.push_back({"line " + std::to_string(lines[i].line), "vectors", lines[i].grid,
                            lines[i].side, lines[i].depth,
                            vectors::keys_from_seed(lines[i].key_seed)});
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        for (std::uint32_t depth : {8u, 10u}) {
            jobs.push_back({"deal " + std::to_string(seed), "deals, depth " + std::to_string(depth),
                            seeded_deal(seed), seed % 2 ? Player::A : Player::B, depth,
                            vectors::keys_from_seed(seed)});
        }
    }

    // The product's table, then one of 1 MiB (of compact entries: every job's depths fit).
    const unsigned small_bits = [] {
        unsigned bits = 0;
        while ((sizeof(CompactEntry) << (bits + 1)) <= (std::size_t{1} << 20))
            ++bits;
        return bits;
    }();
    std::printf("%-10s %4s %6s %12s %10s %10s\n", "position", "side", "depth", "nodes", "ms",
                "Mnodes/s");
    const auto full = run(jobs, TranspositionTable::SLOT_BITS, true);
    if (!full)
        return 1;
    const auto small = run(jobs, small_bits, false);
    if (!small)
        return 1;
    std::printf("\n%-16s %12s %10s %10s %14s %12s %10s\n", "group", "nodes", "ms", "Mnodes/s",
                "1 MiB: nodes", "Mnodes/s", "ratio");
    for (std::size_t i = 0; i < full->size(); ++i) {
        const Totals& f = (*full)[i];
        const Totals& m = (*small)[i];
        std::printf("%-16s %12llu %10.3f %10.1f %14llu %12.1f %9.2fx\n", f.group.c_str(),
                    static_cast<unsigned long long>(f.nodes), f.seconds * 1e3, f.rate() / 1e6,
                    static_cast<unsigned long long>(m.nodes), m.rate() / 1e6, f.rate() / m.rate());
    }

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
