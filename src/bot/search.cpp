#include "bot/search.hpp"

#include <algorithm>
#include <utility>

#include "bot/actions.hpp"

namespace varno {

using namespace bot_detail;

namespace {

// The stop check is polled when the node count passes a multiple of 65,536.
constexpr std::uint64_t POLL_MASK = (std::uint64_t{1} << 16) - 1;

// How many leaves ahead of the one being valued a node at depth 1 has asked for.
constexpr unsigned LEAVES_AHEAD = 4;

// Moves the first occurrence of `action` to the head of the list (a swap), if present.
void move_to_head(ActionCode* actions, unsigned count, ActionCode action) {
    if (action == NO_ACTION || actions[0] == action)
        return;
    for (unsigned i = 1; i < count; ++i) {
        if (actions[i] == action) {
            std::swap(actions[0], actions[i]);
            return;
        }
    }
}

// The child of `node` at `position`: one ply less, the other side, the same window.
Node child_of(const Node& node, Position position) {
    return {position,   node.depth - 1, !node.maximizing, static_cast<std::uint8_t>(node.side ^ 1),
            node.alpha, node.beta};
}

}  // namespace

template <class Entry>
Searcher<Entry>::Searcher(const CardMasks& masks, Player bot, const ZobristKeys& keys,
                          TranspositionTable& table, StopCheck stop)
    : masks_(masks),
      hashes_(keys, masks),
      materials_(masks, static_cast<std::uint8_t>(bot)),
      table_(table),
      stop_(stop) {}

// Alpha-beta with its recursion unrolled onto the frame stack. Each pass of the outer
// loop enters one node: a node that needs its children pushes a frame and enters its
// first child next; a node that has its value hands it to the frames above, each of which
// either enters its next child or finishes, stores its own value and hands that up in
// turn.
template <class Entry>
Score Searcher<Entry>::search(Node node) {
    std::uint64_t hash = hashes_(node.position);
    for (;;) {
        if (count_node()) {
            frames_.clear();
            return 0;
        }
        Score value = 0;
        if (enter(node, hash, value)) {
            continue;  // `node` is now the first child of a new frame
        }
        if (stopped_) {  // during the children of a node at depth 1
            frames_.clear();
            return 0;
        }
        for (;;) {
            if (frames_.empty()) {
                return value;
            }
            Frame& parent = frames_.top();
            record_child(parent, value);
            if (next_child(parent, node, hash)) {
                break;
            }
            value = finish(parent);
        }
    }
}

// Counts a node; true when the search must stop.
template <class Entry>
inline bool Searcher<Entry>::count_node() {
    if ((++nodes_ & POLL_MASK) == 0 && stop_.should_stop != nullptr) [[unlikely]] {
        stopped_ = stop_.should_stop(stop_.context);
    }
    return stopped_;
}

// A node arrives: the probe and the static tests may decide it (false, with `value`);
// otherwise its actions are listed and either valued in a loop (depth 1, false with
// `value`) or searched as frames (true: `node` becomes the first child).
template <class Entry>
inline bool Searcher<Entry>::enter(Node& node, std::uint64_t& hash, Score& value) {
    const Score passed_alpha = node.alpha, passed_beta = node.beta;
    const Probe probe = this->probe(node.position, hash, node.depth, node.alpha, node.beta);
    if (probe.decided) {
        value = probe.value;
        return false;
    }
    Frame& frame = frames_.push();
    bool listed = false;
    const unsigned count = first_actions(node, probe.remembered, frame.actions, listed);
    if (count == 0) {  // no action: the side to move does not pass, the node is a leaf
        frames_.pop();
        value = probe.material;
        return false;
    }
    frame.count = static_cast<std::uint8_t>(count);
    frame.listed = listed;
    if (node.depth == 1) {
        value = frontier(node, hash, passed_alpha, passed_beta, frame);
        frames_.pop();
        return false;
    }
    frame.node = node;
    frame.passed_alpha = passed_alpha;
    frame.passed_beta = passed_beta;
    frame.best = 0;  // replaced by the first child's score, whatever it is
    frame.hash = hash;
    frame.next = 0;
    frame.best_action = NO_ACTION;
    // The table's action was made and hashed for the probe's prefetch (the node is at
    // depth 2 or more here).
    if (frame.actions[0] != probe.remembered) {
        node = child_of(node, apply_code(node.position, frame.actions[0]));
        hash = hashes_(node.position);
    } else {
        node = child_of(node, probe.child);
        hash = probe.child_hash;
    }
    return true;
}

// The table's entry for the position, if any, remembers its best action and, when deep
// enough, decides the node or narrows its window; then a side without cards loses, and
// at depth 0 the node is worth its material.
template <class Entry>
inline Probe Searcher<Entry>::probe(Position position, std::uint64_t hash, std::uint32_t depth,
                                    Score& alpha, Score& beta) const {
    Probe result{false, 0, NO_ACTION, 0, {}, 0};
    if (const Entry* slot = occupied_slot(hash);
        slot != nullptr && slot->holds(entry_key(position))) {
        result.remembered = slot->action();
        if (depth > 1) {  // (a node at depth 1 asks for its leaves itself)
            result.child = apply_code(position, result.remembered);
            result.child_hash = hashes_(result.child);
            prefetch(result.child_hash);
        }
        if (slot->depth() >= depth) {
            const Score score = slot->score();
            switch (slot->bound()) {
                case Bound::Exact:
                    return {true, score, result.remembered, 0, {}, 0};
                case Bound::LowerBound:
                    alpha = std::max(alpha, score);
                    break;
                case Bound::UpperBound:
                    beta = std::min(beta, score);
                    break;
            }
            if (alpha >= beta)
                return {true, score, result.remembered, 0, {}, 0};
        }
    }
    const std::uint32_t both = materials_(position.present);
    const Score mine = Materials::mine(both), theirs = Materials::theirs(both);
    if (theirs == 0 && mine != 0)
        return {true, WIN + Score{depth}, result.remembered, 0, {}, 0};
    if (mine == 0 && theirs != 0)
        return {true, -WIN - Score{depth}, result.remembered, 0, {}, 0};
    result.material = mine - theirs;
    if (depth == 0) {
        result.decided = true;
        result.value = result.material;
    }
    return result;
}

// The actions to start the node with, in search order, the table's action first. When
// the table has an action that is legal here, it is tried alone first and the rest of the
// list is made only if it does not cut off (see list_actions): the same order, and often
// no list at all. `listed` tells whether the whole list was made.
template <class Entry>
unsigned Searcher<Entry>::first_actions(const Node& node, ActionCode remembered,
                                        ActionCode* actions, bool& listed) const {
    const std::uint32_t own = masks_.owned[node.side];
    if (remembered != NO_ACTION && is_action(node.position, own, masks_.figures, remembered)) {
        actions[0] = remembered;
        listed = false;
        return 1;
    }
    listed = true;
    return generate_actions(node.position, own, masks_.figures, actions);
}

// A node at depth 1: its children are depth-0 leaves, valued here in a loop rather than
// entered as frames. The whole list is made at once (the order is the one the table's
// action alone and then the rest would give), and the slots of the next LEAVES_AHEAD
// leaves are asked for before a leaf is valued: a leaf's probe is its one miss, and the
// leaves are too quick to hide it one sibling ahead. A leaf's position and hash are made
// once, when its slot is asked for; the leaves after a cut-off are never made.
// Stores and returns the node's best score (0 if stopped).
template <class Entry>
Score Searcher<Entry>::frontier(Node node, std::uint64_t hash, Score passed_alpha,
                                Score passed_beta, Frame& frame) {
    const unsigned count =
        frame.listed ? frame.count : list_actions(node.position, node.side, frame.actions);
    Position children[MAX_MOVES];
    std::uint64_t child_hashes[MAX_MOVES];
    const auto ask = [&](unsigned i) {
        children[i] = apply_code(node.position, frame.actions[i]);
        child_hashes[i] = hashes_(children[i]);
        table_.prefetch<Entry>(child_hashes[i]);
    };
    const unsigned ahead = std::min(count, LEAVES_AHEAD);
    for (unsigned i = 0; i < ahead; ++i)
        ask(i);
    Score best = 0;
    ActionCode best_action = NO_ACTION;
    for (unsigned i = 0; i < count; ++i) {
        if (count_node())
            return 0;
        if (i + LEAVES_AHEAD < count)
            ask(i + LEAVES_AHEAD);
        Score child_alpha = node.alpha, child_beta = node.beta;
        const Score value = probe(children[i], child_hashes[i], 0, child_alpha, child_beta)
                                .value;  // always decided
        take_child(node.maximizing, i == 0, value, frame.actions[i], best, best_action, node.alpha,
                   node.beta);
        if (node.beta <= node.alpha)
            break;
    }
    table_.slot_for_store<Entry>(hash).store(
        entry_key(node.position), 1, best,
        bound_of(node.maximizing, best, passed_alpha, passed_beta, node.alpha, node.beta),
        best_action);
    return best;
}

// A child of `frame` returned `value` (value.hpp's take_child).
template <class Entry>
inline void Searcher<Entry>::record_child(Frame& frame, Score value) {
    take_child(frame.node.maximizing, frame.next == 0, value, frame.actions[frame.next], frame.best,
               frame.best_action, frame.node.alpha, frame.node.beta);
}

// Unless the window has closed, the frame goes on with its next child (true, `child` set);
// the whole list is made once the table's action alone did not cut off.
template <class Entry>
inline bool Searcher<Entry>::next_child(Frame& frame, Node& child, std::uint64_t& hash) {
    if (frame.node.beta <= frame.node.alpha) {
        return false;
    }
    if (!frame.listed) {
        frame.count = static_cast<std::uint8_t>(
            list_actions(frame.node.position, frame.node.side, frame.actions));
        frame.listed = true;
    }
    if (++frame.next >= frame.count) {
        return false;
    }
    // From the second sibling on, the child was made and hashed when its slot was asked for.
    if (frame.next == 1) {
        child = child_of(frame.node, apply_code(frame.node.position, frame.actions[1]));
        hash = hashes_(child.position);
    } else {
        child = child_of(frame.node, frame.ahead);
        hash = frame.ahead_hash;
    }
    // Ask for the next sibling's slot now: the child's whole subtree lies between.
    if (frame.next + 1 < frame.count) {
        frame.ahead = apply_code(frame.node.position, frame.actions[frame.next + 1]);
        frame.ahead_hash = hashes_(frame.ahead);
        prefetch(frame.ahead_hash);
    }
    return true;
}

// The frame's children are done: its best score is stored with its bound and is the
// node's value.
template <class Entry>
inline Score Searcher<Entry>::finish(Frame& frame) {
    const Node& node = frame.node;
    table_.slot_for_store<Entry>(frame.hash)
        .store(entry_key(node.position), node.depth, frame.best,
               bound_of(node.maximizing, frame.best, frame.passed_alpha, frame.passed_beta,
                        node.alpha, node.beta),
               frame.best_action);
    const Score value = frame.best;
    frames_.pop();
    return value;
}

// The whole ordered list of a node whose table action (actions[0] on entry) was tried
// first and did not cut off, with that action moved to its head.
template <class Entry>
unsigned Searcher<Entry>::list_actions(Position position, std::uint8_t side,
                                       ActionCode* actions) const {
    const ActionCode first = actions[0];
    const unsigned count = generate_actions(position, masks_.owned[side], masks_.figures, actions);
    move_to_head(actions, count, first);
    return count;
}

// Asks for the table slot of a position ahead of its visit: the probe's load is the one
// cache (and TLB) miss of most nodes.
template <class Entry>
void Searcher<Entry>::prefetch(std::uint64_t hash) const {
    table_.prefetch<Entry>(hash);
}

template class Searcher<CompactEntry>;
template class Searcher<WideEntry>;

}  // namespace varno
