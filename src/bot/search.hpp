// The alpha-beta search of one position with the turn's transposition table, on the
// packed positions of bot/position.hpp. It runs on an explicit stack of frames, one per
// node being expanded, so its depth is bounded by memory rather than by the thread's
// stack: depths up to 2^32 - 1 are accepted.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "bot/action_code.hpp"
#include "bot/material.hpp"
#include "bot/position.hpp"
#include "bot/position_hash.hpp"
#include "bot/table.hpp"
#include "bot/value.hpp"
#include "bot/zobrist.hpp"
#include "game/board.hpp"
#include "game/moves.hpp"

namespace varno {

// A position to value, with the window it is valued in.
struct Node {
    bot_detail::Position position;
    std::uint32_t depth;  // plies left
    bool maximizing;      // the bot moves here
    std::uint8_t side;    // the Player value of the side to move
    Score alpha;
    Score beta;
};

// Callback polled every 65,536 nodes or so; true abandons the search.
struct StopCheck {
    bool (*should_stop)(void* context) = nullptr;
    void* context = nullptr;
};

namespace bot_detail {

// A node whose children are being searched: what it keeps while the subtree of one
// child is searched on the frames above it.
struct Frame {
    Node node;           // its window narrowed by the table and by the children so far
    Score passed_alpha;  // the window as passed, before the table narrowed it
    Score passed_beta;
    Score best;
    std::uint64_t hash;
    Position ahead;  // the child after the one being searched, once its slot is asked for
    std::uint64_t ahead_hash;
    std::uint8_t count;  // actions in `actions`
    std::uint8_t next;   // index of the child being searched
    ActionCode best_action;
    bool listed;  // `actions` holds the whole ordered list, not only the table's action
    ActionCode actions[MAX_MOVES];
};

// Frames in chunks that are kept once allocated: the stack grows on the heap only as deep
// as the search goes, and growth happens once per 256 levels, never per node.
class FrameStack {
  public:
    Frame& push() {
        if (size_ == chunks_.size() * CHUNK) [[unlikely]] {
            chunks_.push_back(
                std::make_unique_for_overwrite<Frame[]>(CHUNK));  // may throw bad_alloc
        }
        top_ = &chunks_[size_ >> SHIFT][size_ & (CHUNK - 1)];
        ++size_;
        return *top_;
    }
    void pop() {
        --size_;
        top_ = size_ ? &chunks_[(size_ - 1) >> SHIFT][(size_ - 1) & (CHUNK - 1)] : nullptr;
    }
    Frame& top() { return *top_; }
    bool empty() const { return size_ == 0; }
    void clear() {
        size_ = 0;
        top_ = nullptr;
    }

  private:
    static constexpr unsigned SHIFT = 8;
    static constexpr std::size_t CHUNK = std::size_t{1} << SHIFT;

    std::vector<std::unique_ptr<Frame[]>> chunks_;
    std::size_t size_ = 0;
    Frame* top_ = nullptr;
};

// The first look at a node: the table's probe, the terminal test and the leaf.
struct Probe {
    bool decided;           // the node has its value without being expanded
    Score value;            // when decided
    ActionCode remembered;  // the table's best action for the node, or NO_ACTION
    Score material;         // the bot's material less the other side's, when not decided
    Position child;         // the table's action made, and its hash, at depth 2 and more
    std::uint64_t child_hash;
};

}  // namespace bot_detail

// Searches positions of one turn: the cards' owners and kinds (`masks`), the side the bot
// plays and the keys are fixed; the table and the node count carry over from one search
// to the next, as they do from one iteration of a turn to the next. The table's entries
// are of the form `Entry` (CompactEntry or WideEntry), which must hold every depth
// searched: up to Entry::MAX_DEPTH.
template <class Entry>
class Searcher {
  public:
    Searcher(const bot_detail::CardMasks& masks, Player bot, const ZobristKeys& keys,
             TranspositionTable& table, StopCheck stop);

    // The value of `root` for the bot. Returns 0 with stopped() set when the stop check
    // asked to stop. Throws std::bad_alloc if the frame stack cannot grow.
    Score search(Node root);

    std::uint64_t nodes() const { return nodes_; }
    bool stopped() const { return stopped_; }

  private:
    // The phases of a node, in the order the search meets them (search.cpp).
    [[gnu::always_inline]] bool count_node();
    [[gnu::always_inline]] bool enter(Node& node, std::uint64_t& hash, Score& value);
    [[gnu::always_inline]] bot_detail::Probe probe(bot_detail::Position position,
                                                   std::uint64_t hash, std::uint32_t depth,
                                                   Score& alpha, Score& beta) const;
    unsigned first_actions(const Node& node, bot_detail::ActionCode remembered,
                           bot_detail::ActionCode* actions, bool& listed) const;
    Score frontier(Node node, std::uint64_t hash, Score passed_alpha, Score passed_beta,
                   bot_detail::Frame& frame);
    [[gnu::always_inline]] void record_child(bot_detail::Frame& frame, Score value);
    [[gnu::always_inline]] bool next_child(bot_detail::Frame& frame, Node& child,
                                           std::uint64_t& hash);
    [[gnu::always_inline]] Score finish(bot_detail::Frame& frame);

    unsigned list_actions(bot_detail::Position position, std::uint8_t side,
                          bot_detail::ActionCode* actions) const;
    void prefetch(std::uint64_t hash) const;

    const Entry* occupied_slot(std::uint64_t hash) const {
        return table_.occupied_slot<Entry>(hash);
    }

    const bot_detail::CardMasks masks_;
    const bot_detail::PositionHashes hashes_;
    const bot_detail::Materials materials_;
    TranspositionTable& table_;
    const StopCheck stop_;
    std::uint64_t nodes_ = 0;
    bool stopped_ = false;
    bot_detail::FrameStack frames_;
};

extern template class Searcher<CompactEntry>;
extern template class Searcher<WideEntry>;

}  // namespace varno
