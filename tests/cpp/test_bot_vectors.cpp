// Every line of the bot vectors (tests/data/bot.tsv): move, score, node counts.
#include <gtest/gtest.h>

#include "vector_file.hpp"

namespace varno {
namespace {

TEST(BotVectors, EveryLineMatches) {
    std::vector<std::string> errors;
    const auto lines = vectors::load_file(VARNO_VECTORS_DIR "/bot.tsv", errors);
    EXPECT_TRUE(errors.empty()) << errors.front();
    EXPECT_GE(lines.size(), 80u);
    for (const auto& line : lines) {
        for (const std::string& problem : vectors::check(line))
            ADD_FAILURE() << problem;
    }
}

}  // namespace
}  // namespace varno
