// check_vectors FILE: runs every line of a bot vector file against the bot turn, prints
// one line per mismatch and a last line "N passed, N failed"; exit status 1 on any
// failure.
#include <cstdio>
#include <exception>

#include "vector_file.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    std::vector<std::string> errors;
    std::vector<varno::vectors::BotVector> vectors;
    try {
        vectors = varno::vectors::load_file(argv[1], errors);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
    std::size_t failed = errors.size();
    for (const std::string& error : errors)
        std::printf("%s\n", error.c_str());
    std::size_t passed = 0;
    for (const auto& vector : vectors) {
        std::vector<std::string> problems;
        try {
            problems = varno::vectors::check(vector);
        } catch (const std::exception& error) {
            problems.push_back("line " + std::to_string(vector.line) +
                               ": exception: " + error.what());
        }
        for (const std::string& problem : problems)
            std::printf("%s\n", problem.c_str());
        if (problems.empty()) {
            ++passed;
        } else {
            ++failed;
        }
    }
    std::printf("%zu passed, %zu failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
