// The block tree's native core: a red-black tree of records keyed by size, one tree node per distinct size, with
// further blocks of a size on a singly linked chain behind its tree node. Plain C++, no host dependency: a record's
// block is an opaque pointer that the caller owns through the record.
//
// Concurrency. One writer at a time changes the tree, inside a write section bracketed by two increments of the
// sequence counter (odd while a change is in progress). Readers walk the tree without any lock and accept a result
// only when the counter was even before the walk and unchanged after it (a seqlock). Everything a walk loads
// (root, left, right, next, size, the counter) is atomic: links are stored with release and loaded with acquire, so
// a walk that reads any link written by a write section also sees that section's first increment when it re-reads
// the counter, and a record reached through a link is seen fully initialised.
//
// Reclamation. A walk may be standing on a record that a writer unlinks. Readers register in `readers_` for the
// whole time they may touch records; a writer that unlinks a record frees it at once only when its read-modify-write
// of `readers_` finds no reader, and otherwise parks it on a deferred list that is freed by a later write section
// that finds none (or by the destructor). Because registration and the writer's check are both read-modify-writes
// of the same atomic, either the writer sees the reader, or the reader's registration synchronises with the
// writer's check and so every later load of the reader sees the unlink.
//
// "The exclusive lock" below is what serialises writers with each other and with the readers' validation (the
// interpreter lock in the extension, a mutex in the C++ tests). Write operations, reclamation, statistics walks and
// any access to a record's `block`, `color`, `parent` or `timestamp` run holding it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

namespace korvane::orvelle {

enum : std::uint32_t { kRed = 0, kBlack = 1 };

// One stored block. Tree nodes are reachable from the root through left and right; chain entries hang off their
// tree node's `next` and keep parent, left and right null and colour red.
struct Record {
  // Writer-only. On a record that has left the tree it links the release list or the deferred list instead.
  Record* parent = nullptr;
  std::atomic<Record*> left{nullptr};
  std::atomic<Record*> right{nullptr};
  std::uint32_t color = kRed;
  std::atomic<std::uint64_t> size;  // never changes while a reader can reach the record
  void* block;
  std::atomic<Record*> next{nullptr};
  std::uint64_t timestamp;

  Record(std::uint64_t s, void* b, std::uint64_t ts) : size(s), block(b), timestamp(ts) {}
};

// Where records come from. The functions must be callable wherever records are made or freed (with the exclusive
// lock held).
struct Allocator {
  void* (*allocate)(std::size_t);
  void (*release)(void*);
};

// Records that left the tree together (clear, destruction), in the order their blocks are to be released: post-order
// over the tree nodes, and for each node first its chain entries from the head, then the node itself.
struct ReleaseList {
  Record* head = nullptr;
  bool shared = false;  // a reader may still reach these records: park them instead of freeing them
};

// The result of a walk made without the exclusive lock.
struct Found {
  Record* node;
  bool complete;  // false when the walk ran longer than any valid tree allows: an inconsistent read
};

class Tree {
 public:
  // A red-black tree of n nodes is at most 2*log2(n+1) high, which is below 128 for any n that fits in memory.
  // A longer walk can only come from a concurrently changing tree.
  static constexpr int kMaxWalk = 128;

  explicit Tree(Allocator allocator) noexcept : alloc_(allocator) {}
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;
  // The caller has taken back every linked record (detach_all) and no reader is registered.
  ~Tree() { free_parked(); }

  // ---- records

  // A new unlinked record (red, no links), or null when the allocator fails.
  Record* make_record(std::uint64_t size, void* block, std::uint64_t timestamp) noexcept {
    void* mem = alloc_.allocate(sizeof(Record));
    return mem != nullptr ? new (mem) Record(size, block, timestamp) : nullptr;
  }

  Record* root() const noexcept { return root_.load(std::memory_order_acquire); }
  std::uint64_t sequence() const noexcept { return seq_.load(std::memory_order_relaxed); }
  std::size_t parked_count() const noexcept {
    std::size_t n = 0;
    for (Record* r = parked_; r != nullptr; r = r->parent) ++n;
    return n;
  }

  // ---- write sections (exclusive lock held, one writer at a time)

  void begin_write() noexcept { seq_.store(seq_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }

  // Ends the section (counter even again) and frees the deferred records if no reader can still hold them.
  void end_write() noexcept {
    seq_.store(seq_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    if (parked_ != nullptr && no_readers()) free_parked();
  }

  // The tree node of exactly `size`, or null. Writer side: the tree cannot change under it.
  Record* find_exact(std::uint64_t size) const noexcept {
    Record* n = link(root_);
    while (n != nullptr) {
      std::uint64_t s = n->size.load(std::memory_order_relaxed);
      if (size == s) return n;
      n = link(size < s ? n->left : n->right);
    }
    return nullptr;
  }

  // The tree node with the smallest size >= `size`, or null. Writer side.
  Record* find_best_fit(std::uint64_t size) const noexcept {
    Record* best = nullptr;
    for (Record* n = link(root_); n != nullptr;) {
      std::uint64_t s = n->size.load(std::memory_order_relaxed);
      if (s < size) {
        n = link(n->right);
      } else {
        if (best == nullptr || s < best->size.load(std::memory_order_relaxed)) best = n;
        n = link(n->left);
      }
    }
    return best;
  }

  // Links a new record. With `existing` (the tree node of its size) it becomes the head of that size's chain,
  // ahead of older entries; otherwise it becomes a tree node and the red-black properties are restored.
  void link_record(Record* node, Record* existing) noexcept {
    if (existing != nullptr) {
      set(node->next, link(existing->next));
      set(existing->next, node);
      return;
    }
    Record* cur = link(root_);
    if (cur == nullptr) {
      node->color = kBlack;
      set(root_, node);
      return;
    }
    std::uint64_t size = node->size.load(std::memory_order_relaxed);
    for (;;) {
      std::atomic<Record*>& slot = size < cur->size.load(std::memory_order_relaxed) ? cur->left : cur->right;
      Record* child = link(slot);
      if (child == nullptr) {
        node->parent = cur;
        set(slot, node);
        break;
      }
      cur = child;
    }
    fixup_insert(node);
  }

  // Removes the first block of a tree node's size and returns it (the caller takes over the reference the record
  // held). With a chain, the chain's head is promoted: the tree node takes over its block and stays in place;
  // otherwise the tree node itself is removed with rebalancing.
  void* take_first(Record* node) noexcept {
    void* block = node->block;
    Record* e = link(node->next);
    if (e != nullptr) {
      set(node->next, link(e->next));
      node->block = e->block;
      reclaim(e);
    } else {
      delete_node(node);
      reclaim(node);
    }
    return block;
  }

  // Removes chain entry `entry`, whose predecessor in the chain (the tree node or an entry) is `prev`, and returns
  // its block.
  void* unlink_entry(Record* prev, Record* entry) noexcept {
    set(prev->next, link(entry->next));
    void* block = entry->block;
    reclaim(entry);
    return block;
  }

  // Takes every record out of the tree at once and hands them back in release order. The tree is empty afterwards.
  ReleaseList detach_all() noexcept {
    ReleaseList list;
    Record* top = link(root_);
    if (top == nullptr) return list;
    set(root_, static_cast<Record*>(nullptr));
    Record** tail = &list.head;
    collect_post_order(top, tail);
    *tail = nullptr;
    list.shared = !no_readers();
    return list;
  }

  // Pops the next record of a release list, frees it (or parks it when readers may still hold it) and returns its
  // block. The list is private to its caller, so this may be interleaved with host code that uses the tree.
  void* release_front(ReleaseList& list) noexcept {
    Record* r = list.head;
    list.head = r->parent;
    void* block = r->block;
    if (list.shared) {
      park(r);
    } else {
      alloc_.release(r);
    }
    return block;
  }

  // ---- readers (no lock for the walk)

  // Registration brackets every touch of a record by a reader, from before its first load of the counter to after
  // its last access of a found record.
  void reader_enter() noexcept { readers_.fetch_add(1, std::memory_order_seq_cst); }
  void reader_exit() noexcept { readers_.fetch_sub(1, std::memory_order_seq_cst); }

  std::uint64_t read_begin() const noexcept { return seq_.load(std::memory_order_acquire); }

  // True when no write section started since `read_begin` returned `start` (which must have been even).
  bool read_validate(std::uint64_t start) const noexcept { return seq_.load(std::memory_order_acquire) == start; }

  Found search_exact(std::uint64_t size) const noexcept {
    Record* n = root_.load(std::memory_order_acquire);
    for (int steps = 0; n != nullptr; ++steps) {
      if (steps == kMaxWalk) return {nullptr, false};
      std::uint64_t s = n->size.load(std::memory_order_relaxed);
      if (size == s) return {n, true};
      n = (size < s ? n->left : n->right).load(std::memory_order_acquire);
    }
    return {nullptr, true};
  }

  Found search_best_fit(std::uint64_t size) const noexcept {
    Record* best = nullptr;
    Record* n = root_.load(std::memory_order_acquire);
    for (int steps = 0; n != nullptr; ++steps) {
      if (steps == kMaxWalk) return {nullptr, false};
      std::uint64_t s = n->size.load(std::memory_order_relaxed);
      if (s < size) {
        n = n->right.load(std::memory_order_acquire);
      } else {
        if (best == nullptr || s < best->size.load(std::memory_order_relaxed)) best = n;
        n = n->left.load(std::memory_order_acquire);
      }
    }
    return {best, true};
  }

  // The number of blocks of a found tree node's size: the node plus its chain. Chains are acyclic also while they
  // change (an entry's `next` always leads to an older entry), so the count ends.
  static std::size_t block_count(const Record* node) noexcept {
    std::size_t n = 1;
    for (Record* e = node->next.load(std::memory_order_acquire); e != nullptr;
         e = e->next.load(std::memory_order_acquire))
      ++n;
    return n;
  }

  // ---- statistics (exclusive lock held; the tree is consistent)

  // 0 for an empty subtree, else 1 + the larger height of the two subtrees. Counts tree nodes only.
  static int height(const Record* node) noexcept {
    if (node == nullptr) return 0;
    int l = height(link(node->left));
    int r = height(link(node->right));
    return (l > r ? l : r) + 1;
  }

  // Calls visit(size, blocks) for each tree node in pre-order; stops and returns false when visit does.
  template <class Visit>
  static bool pre_order(const Record* node, Visit&& visit) {
    if (node == nullptr) return true;
    return visit(node->size.load(std::memory_order_relaxed), block_count(node)) && pre_order(link(node->left), visit) &&
           pre_order(link(node->right), visit);
  }

  // Calls visit(block) for each stored block; stops at the first non-zero result and returns it.
  template <class Visit>
  static int for_each_block(const Record* node, Visit&& visit) {
    for (; node != nullptr; node = link(node->right)) {
      for (const Record* e = node; e != nullptr; e = link(e->next))
        if (int r = visit(e->block)) return r;
      if (int r = for_each_block(link(node->left), visit)) return r;
    }
    return 0;
  }

 private:
  // Loads of the writer and of the statistics walks: only the writer changes links, and it holds the exclusive lock.
  static Record* link(const std::atomic<Record*>& field) noexcept { return field.load(std::memory_order_relaxed); }
  static void set(std::atomic<Record*>& field, Record* value) noexcept {
    field.store(value, std::memory_order_release);
  }
  static std::uint32_t color_of(const Record* n) noexcept { return n != nullptr ? n->color : kBlack; }

  // A read-modify-write, not a load: it reads the latest registration, and when it finds none it synchronises
  // with the last reader's deregistration.
  bool no_readers() noexcept { return readers_.fetch_add(0, std::memory_order_seq_cst) == 0; }

  void park(Record* r) noexcept {
    r->parent = parked_;
    parked_ = r;
  }

  // Called after `r` has been unlinked.
  void reclaim(Record* r) noexcept {
    if (no_readers()) {
      alloc_.release(r);
    } else {
      park(r);
    }
  }

  void free_parked() noexcept {
    Record* r = parked_;
    parked_ = nullptr;
    while (r != nullptr) {
      Record* next = r->parent;
      alloc_.release(r);
      r = next;
    }
  }

  static void append(Record**& tail, Record* r) noexcept {
    *tail = r;
    tail = &r->parent;
  }

  static void collect_post_order(Record* node, Record**& tail) noexcept {
    if (node == nullptr) return;
    collect_post_order(link(node->left), tail);
    collect_post_order(link(node->right), tail);
    for (Record* e = link(node->next); e != nullptr; e = link(e->next)) append(tail, e);
    append(tail, node);
  }

  // The mirror-image cases of the algorithms differ only in which side they take: `side` true is right.
  static std::atomic<Record*>& child(Record* n, bool side) noexcept { return side ? n->right : n->left; }

  // Rotates x towards `side`: its child y on the other side takes x's place, and x becomes y's child on `side`.
  // rotate(x, false) is the left rotation, rotate(x, true) the right one.
  void rotate(Record* x, bool side) noexcept {
    Record* y = link(child(x, !side));
    Record* inner = link(child(y, side));
    set(child(x, !side), inner);
    if (inner != nullptr) inner->parent = x;
    replace_child(x, y);
    set(child(y, side), x);
    x->parent = y;
  }

  // Puts `v` where `u` hangs (the root, or u's slot in its parent) and gives v u's parent.
  void replace_child(Record* u, Record* v) noexcept {
    Record* p = u->parent;
    if (p == nullptr) {
      set(root_, v);
    } else if (u == link(p->left)) {
      set(p->left, v);
    } else {
      set(p->right, v);
    }
    if (v != nullptr) v->parent = p;
  }

  static Record* minimum(Record* n) noexcept {
    for (Record* l = link(n->left); l != nullptr; l = link(n->left)) n = l;
    return n;
  }

  void fixup_insert(Record* z) noexcept {
    while (z->parent != nullptr && z->parent->color == kRed) {
      Record* p = z->parent;
      Record* g = p->parent;
      bool side = p == link(g->right);  // p's side below g; the uncle is on the other one
      Record* u = link(child(g, !side));
      if (u != nullptr && u->color == kRed) {
        p->color = kBlack;
        u->color = kBlack;
        g->color = kRed;
        z = g;
        continue;
      }
      if (z == link(child(p, !side))) {
        z = p;
        rotate(z, side);
      }
      z->parent->color = kBlack;
      z->parent->parent->color = kRed;
      rotate(z->parent->parent, !side);
    }
    link(root_)->color = kBlack;
  }

  // Unlinks tree node z (which has no chain). x is what moves into the removed position (possibly an empty slot)
  // and xp its new parent.
  void delete_node(Record* z) noexcept {
    std::uint32_t removed_color = z->color;
    Record* x;
    Record* xp;
    Record* zl = link(z->left);
    Record* zr = link(z->right);
    if (zl == nullptr) {
      x = zr;
      xp = z->parent;
      replace_child(z, zr);
    } else if (zr == nullptr) {
      x = zl;
      xp = z->parent;
      replace_child(z, zl);
    } else {
      Record* y = minimum(zr);
      removed_color = y->color;
      x = link(y->right);
      if (y->parent == z) {
        xp = y;
      } else {
        xp = y->parent;
        replace_child(y, x);
        set(y->right, zr);
        zr->parent = y;
      }
      replace_child(z, y);
      set(y->left, zl);
      zl->parent = y;
      y->color = z->color;
    }
    if (removed_color == kBlack) fixup_delete(x, xp);
  }

  void fixup_delete(Record* x, Record* xp) noexcept {
    while (x != link(root_) && color_of(x) == kBlack) {
      // x's side below xp (left also when x is an empty slot and xp's left is empty); w is x's sibling, a tree
      // node while the properties held before the removal.
      bool side = x != link(xp->left);
      Record* w = link(child(xp, !side));
      if (w->color == kRed) {
        w->color = kBlack;
        xp->color = kRed;
        rotate(xp, side);
        w = link(child(xp, !side));
      }
      if (color_of(link(w->left)) == kBlack && color_of(link(w->right)) == kBlack) {
        w->color = kRed;
        x = xp;
        xp = x->parent;
        continue;
      }
      if (color_of(link(child(w, !side))) == kBlack) {
        link(child(w, side))->color = kBlack;
        w->color = kRed;
        rotate(w, !side);
        w = link(child(xp, !side));
      }
      w->color = xp->color;
      xp->color = kBlack;
      link(child(w, !side))->color = kBlack;
      rotate(xp, side);
      x = link(root_);
    }
    if (x != nullptr) x->color = kBlack;
  }

  Allocator alloc_;
  std::atomic<Record*> root_{nullptr};
  std::atomic<std::uint64_t> seq_{0};
  std::atomic<std::uint64_t> readers_{0};
  Record* parked_ = nullptr;  // unlinked records that a registered reader may still reach, linked by `parent`
};

}  // namespace korvane::orvelle
