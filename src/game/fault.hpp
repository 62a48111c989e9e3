// Internal faults: broken invariants of the core (an index outside the grid, an
// entropy source that cannot seed the generator, a full fixed-capacity list).
// Core code throws them; only the call boundary catches them and turns them into
// the module's panic exception, so none ever reaches the interpreter.
#pragma once

#include <exception>
#include <string>

namespace varno {

class Fault : public std::exception {
  public:
    Fault(std::string message, const char* file, int line)
        : message_(std::move(message)), file_(file), line_(line) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const char* file() const noexcept { return file_; }
    int line() const noexcept { return line_; }

  private:
    std::string message_;
    const char* file_;
    int line_;
};

// Out of line and cold so that the checks on hot paths stay one predicted branch.
[[noreturn]] [[gnu::cold]] [[gnu::noinline]] inline void raise_fault(const char* message,
                                                                     const char* file, int line) {
    throw Fault(message, file, line);
}

}  // namespace varno

#define VARNO_FAULT(message) ::varno::raise_fault((message), __FILE__, __LINE__)

#define VARNO_CHECK(condition, message)  \
    do {                                 \
        if (!(condition)) [[unlikely]] { \
            VARNO_FAULT(message);        \
        }                                \
    } while (0)
