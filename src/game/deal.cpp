#include "game/deal.hpp"

#include "game/random.hpp"

namespace varno {

Grid new_game() {
    Xoshiro256& rng = thread_rng();
    auto next_word = [&rng] { return rng.next_u32(); };
    Deck deck = initial_deck();
    shuffle(deck, next_word);
    return lay_out(deck);
}

}  // namespace varno
