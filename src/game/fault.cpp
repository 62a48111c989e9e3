#include "game/fault.hpp"

namespace varno {

[[noreturn]] [[gnu::cold]] [[gnu::noinline]] void raise_fault(const char* message, const char* file,
                                                              int line) {
    throw Fault(message, file, line);
}

}  // namespace varno
