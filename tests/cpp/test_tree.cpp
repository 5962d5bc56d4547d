// Tests of the block tree's native core: red-black properties and search order after every step of random
// insert/delete sequences, chain order and promotion, release order, reclamation, the walk bound, and readers
// walking without a lock while a writer changes the tree.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "memory/orvelle/tree.h"

using korvane::orvelle::Allocator;
using korvane::orvelle::Found;
using korvane::orvelle::kBlack;
using korvane::orvelle::kRed;
using korvane::orvelle::Record;
using korvane::orvelle::ReleaseList;
using korvane::orvelle::Tree;

namespace {

// ---- a minimal check harness

int g_failed_checks = 0;

#define CHECK(cond)                                                                 \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      ++g_failed_checks;                                                            \
      std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                               \
  } while (0)

// ---- records come from malloc, counted so that leaks show

std::atomic<long> g_live_records{0};

void* counting_allocate(std::size_t n) {
  ++g_live_records;
  return std::malloc(n);
}
void counting_release(void* p) {
  --g_live_records;
  std::free(p);
}
constexpr Allocator kAllocator{counting_allocate, counting_release};

// Blocks are small integer ids carried in the pointer.
void* block_of(std::uintptr_t id) { return reinterpret_cast<void*>(id); }
std::uintptr_t id_of(const void* block) { return reinterpret_cast<std::uintptr_t>(block); }

// ---- the tree operations, sequenced as the extension runs them

void insert(Tree& t, std::uint64_t size, std::uintptr_t id) {
  t.begin_write();
  Record* existing = t.find_exact(size);
  Record* r = t.make_record(size, block_of(id), 0);
  t.link_record(r, existing);
  t.end_write();
}

// Removes the first block equal to `id`: the tree node's own block first, then the chain from head to tail.
bool erase(Tree& t, std::uint64_t size, std::uintptr_t id) {
  t.begin_write();
  bool removed = false;
  if (Record* node = t.find_exact(size)) {
    if (id_of(node->block) == id) {
      CHECK(id_of(t.take_first(node)) == id);
      removed = true;
    } else {
      for (Record *prev = node, *cur = node->next.load(); cur != nullptr; prev = cur, cur = cur->next.load()) {
        if (id_of(cur->block) == id) {
          CHECK(id_of(t.unlink_entry(prev, cur)) == id);
          removed = true;
          break;
        }
      }
    }
  }
  t.end_write();
  return removed;
}

std::optional<std::pair<std::uint64_t, std::uintptr_t>> remove_ge(Tree& t, std::uint64_t size) {
  t.begin_write();
  std::optional<std::pair<std::uint64_t, std::uintptr_t>> result;
  if (Record* node = t.find_best_fit(size)) {
    std::uint64_t actual = node->size.load();
    result.emplace(actual, id_of(t.take_first(node)));
  }
  t.end_write();
  return result;
}

std::vector<std::uintptr_t> clear(Tree& t) {
  t.begin_write();
  ReleaseList list = t.detach_all();
  t.end_write();
  std::vector<std::uintptr_t> order;
  while (list.head != nullptr) order.push_back(id_of(t.release_front(list)));
  return order;
}

// ---- the model: size -> blocks in the tree's order (the size's first block, then the chain from head to tail)

using Model = std::map<std::uint64_t, std::vector<std::uintptr_t>>;

void model_insert(Model& m, std::uint64_t size, std::uintptr_t id) {
  auto [it, fresh] = m.try_emplace(size);
  if (fresh) {
    it->second.push_back(id);
  } else {
    it->second.insert(it->second.begin() + 1, id);  // new entries go right behind the tree node
  }
}

bool model_erase(Model& m, std::uint64_t size, std::uintptr_t id) {
  auto it = m.find(size);
  if (it == m.end()) return false;
  auto pos = std::find(it->second.begin(), it->second.end(), id);
  if (pos == it->second.end()) return false;
  it->second.erase(pos);
  if (it->second.empty()) m.erase(it);
  return true;
}

std::optional<std::pair<std::uint64_t, std::uintptr_t>> model_remove_ge(Model& m, std::uint64_t size) {
  auto it = m.lower_bound(size);
  if (it == m.end()) return std::nullopt;
  std::pair<std::uint64_t, std::uintptr_t> r{it->first, it->second.front()};
  it->second.erase(it->second.begin());
  if (it->second.empty()) m.erase(it);
  return r;
}

// ---- structural checks

// Checks the subtree below `n` and returns its black height (empty slots count as black), or -1 on a violation.
int check_subtree(const Record* n, const Record* parent, const std::uint64_t* lo, const std::uint64_t* hi,
                  std::size_t& blocks) {
  if (n == nullptr) return 1;
  bool ok = true;
  std::uint64_t s = n->size.load();
  ok &= n->parent == parent;
  ok &= lo == nullptr || s > *lo;
  ok &= hi == nullptr || s < *hi;
  ok &= n->color == kRed || n->color == kBlack;
  const Record* l = n->left.load();
  const Record* r = n->right.load();
  if (n->color == kRed) ok &= (l == nullptr || l->color == kBlack) && (r == nullptr || r->color == kBlack);
  for (const Record* e = n->next.load(); e != nullptr; e = e->next.load()) {
    ok &= e->size.load() == s && e->parent == nullptr && e->left.load() == nullptr && e->right.load() == nullptr &&
          e->color == kRed;
    ++blocks;
  }
  ++blocks;
  int hl = check_subtree(l, n, lo, &s, blocks);
  int hr = check_subtree(r, n, &s, hi, blocks);
  CHECK(ok);
  CHECK(hl == hr);
  if (!ok || hl != hr || hl < 0) return -1;
  return hl + (n->color == kBlack ? 1 : 0);
}

std::vector<std::uintptr_t> blocks_of(const Record* node) {
  std::vector<std::uintptr_t> v;
  for (const Record* e = node; e != nullptr; e = e->next.load()) v.push_back(id_of(e->block));
  return v;
}

std::optional<std::uint64_t> model_best_fit(const Model& m, std::uint64_t q) {
  auto it = m.lower_bound(q);
  return it == m.end() ? std::nullopt : std::optional<std::uint64_t>(it->first);
}

void check_search(Tree& t, const Model& m, std::uint64_t q) {
  std::optional<std::uint64_t> want = model_best_fit(m, q);
  Record* w = t.find_best_fit(q);
  Found r = t.search_best_fit(q);
  CHECK(r.complete);
  CHECK(r.node == w);
  CHECK((w == nullptr) == !want.has_value());
  if (w != nullptr && want) CHECK(w->size.load() == *want);

  Record* e = t.find_exact(q);
  Found re = t.search_exact(q);
  CHECK(re.complete && re.node == e);
  auto it = m.find(q);
  CHECK((e == nullptr) == (it == m.end()));
  if (e != nullptr && it != m.end()) CHECK(Tree::block_count(e) == it->second.size());
}

// The whole tree against the model: red-black properties, search order, chains, counts, searches, distribution.
void check_tree(Tree& t, const Model& m, std::mt19937_64& rng) {
  const Record* root = t.root();
  std::size_t blocks = 0;
  if (root != nullptr) CHECK(root->color == kBlack);
  CHECK(check_subtree(root, nullptr, nullptr, nullptr, blocks) > 0);
  std::size_t want_blocks = 0;
  for (const auto& [size, ids] : m) {
    want_blocks += ids.size();
    const Record* node = t.find_exact(size);
    CHECK(node != nullptr);
    if (node != nullptr) CHECK(blocks_of(node) == ids);
  }
  CHECK(blocks == want_blocks);

  std::size_t seen = 0;
  CHECK(Tree::pre_order(root, [&](std::uint64_t size, std::size_t count) {
    auto it = m.find(size);
    CHECK(it != m.end() && it->second.size() == count);
    ++seen;
    return true;
  }));
  CHECK(seen == m.size());
  int h = Tree::height(root);
  CHECK(h <= 2 * std::log2(static_cast<double>(m.size()) + 1) + 1e-9);

  for (const auto& [size, ids] : m) {
    check_search(t, m, size);
    if (size > 0) check_search(t, m, size - 1);
    check_search(t, m, size + 1);
  }
  check_search(t, m, 0);
  check_search(t, m, UINT64_MAX);
  for (int i = 0; i < 4; ++i) check_search(t, m, rng());
}

// ---- tests

void test_fixed_orders() {
  // Ascending, descending and zig-zag insertion orders run every case of the insert fix-up; deleting in several
  // orders runs every case of the delete fix-up, including black leaves.
  const int n = 200;
  std::vector<std::vector<std::uint64_t>> orders(3);
  for (int i = 0; i < n; ++i) {
    orders[0].push_back(i);
    orders[1].push_back(n - i);
    orders[2].push_back(i % 2 == 0 ? i : 1000 - i);
  }
  std::mt19937_64 rng(7);
  for (const auto& order : orders) {
    for (int del = 0; del < 3; ++del) {
      Tree t(kAllocator);
      Model m;
      std::uintptr_t id = 1;
      for (std::uint64_t s : order) {
        insert(t, s, id);
        model_insert(m, s, id++);
        check_tree(t, m, rng);
      }
      std::vector<std::uint64_t> victims = order;
      if (del == 1) std::reverse(victims.begin(), victims.end());
      if (del == 2) std::shuffle(victims.begin(), victims.end(), rng);
      for (std::uint64_t s : victims) {
        std::uintptr_t first = m.at(s).front();
        CHECK(erase(t, s, first));
        model_erase(m, s, first);
        check_tree(t, m, rng);
      }
      CHECK(t.root() == nullptr);
    }
  }
}

void test_random_sequences() {
  // Mixed insertions, deletions by block, best-fit removals and clears. Small key ranges make long chains and
  // frequent promotions; large ones make deep trees.
  const std::uint64_t ranges[] = {4, 64, 1000, UINT64_MAX};
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    std::mt19937_64 rng(seed);
    std::uint64_t range = ranges[seed % 4];
    auto key = [&] { return range == UINT64_MAX ? rng() : rng() % range; };
    Tree t(kAllocator);
    Model m;
    std::vector<std::pair<std::uint64_t, std::uintptr_t>> stored;  // candidates for deletion
    std::uintptr_t next_id = 1;
    for (int step = 0; step < 2500; ++step) {
      unsigned op = rng() % 100;
      if (op < 50 || m.empty()) {
        std::uint64_t s = key();
        insert(t, s, next_id);
        model_insert(m, s, next_id);
        stored.emplace_back(s, next_id++);
      } else if (op < 75) {
        std::size_t i = rng() % stored.size();
        auto [s, id] = stored[i];
        bool want = model_erase(m, s, id);
        CHECK(erase(t, s, id) == want);
        stored[i] = stored.back();
        stored.pop_back();
      } else if (op < 85) {
        std::uint64_t s = key();
        CHECK(erase(t, s, 999999999) == false);  // no such block: nothing changes
      } else if (op < 99) {
        std::uint64_t s = key();
        CHECK(remove_ge(t, s) == model_remove_ge(m, s));
      } else {
        std::size_t want = 0;
        for (const auto& kv : m) want += kv.second.size();
        CHECK(clear(t).size() == want);
        m.clear();
        stored.clear();
      }
      CHECK(t.sequence() == 2u * (step + 1));
      check_tree(t, m, rng);
    }
    clear(t);
  }
  CHECK(g_live_records == 0);
}

void test_chain_order_and_promotion() {
  Tree t(kAllocator);
  insert(t, 40, 1);
  insert(t, 40, 2);
  insert(t, 40, 3);
  Record* node = t.find_exact(40);
  CHECK((blocks_of(node) == std::vector<std::uintptr_t>{1, 3, 2}));
  CHECK(Tree::block_count(node) == 3);
  // Removing the tree node's own block promotes the chain's head; the tree node stays where it is.
  CHECK(erase(t, 40, 1));
  CHECK(t.find_exact(40) == node);
  CHECK((blocks_of(node) == std::vector<std::uintptr_t>{3, 2}));
  insert(t, 40, 4);
  CHECK(erase(t, 40, 2));
  CHECK((blocks_of(node) == std::vector<std::uintptr_t>{3, 4}));
  CHECK((remove_ge(t, 33) == std::pair<std::uint64_t, std::uintptr_t>{40, 3}));
  CHECK((remove_ge(t, 33) == std::pair<std::uint64_t, std::uintptr_t>{40, 4}));
  CHECK(!remove_ge(t, 33).has_value());
  CHECK(t.root() == nullptr);
  CHECK(t.sequence() == 18);
}

void test_extreme_sizes() {
  Tree t(kAllocator);
  insert(t, 0, 1);
  insert(t, UINT64_MAX, 2);
  insert(t, 1ull << 63, 3);
  CHECK(id_of(t.find_best_fit(0)->block) == 1);
  CHECK(id_of(t.find_best_fit(1)->block) == 3);
  CHECK(id_of(t.find_best_fit((1ull << 63) + 1)->block) == 2);
  CHECK(t.find_exact(UINT64_MAX) != nullptr);
  clear(t);
}

void test_release_order_and_statistics() {
  Tree t(kAllocator);
  insert(t, 10, 1);
  insert(t, 20, 2);
  insert(t, 30, 3);
  insert(t, 10, 4);
  insert(t, 10, 5);
  CHECK(t.root()->size.load() == 20);
  CHECK(Tree::height(t.root()) == 2);
  std::vector<std::pair<std::uint64_t, std::size_t>> dist;
  Tree::pre_order(t.root(), [&](std::uint64_t s, std::size_t c) {
    dist.emplace_back(s, c);
    return true;
  });
  CHECK((dist == std::vector<std::pair<std::uint64_t, std::size_t>>{{20, 1}, {10, 3}, {30, 1}}));
  std::vector<std::uintptr_t> visited;
  Tree::for_each_block(t.root(), [&](void* b) {
    visited.push_back(id_of(b));
    return 0;
  });
  std::sort(visited.begin(), visited.end());
  CHECK((visited == std::vector<std::uintptr_t>{1, 2, 3, 4, 5}));
  // Post-order over tree nodes; each node's chain from the head before the node itself.
  CHECK((clear(t) == std::vector<std::uintptr_t>{5, 4, 1, 3, 2}));
  CHECK(t.root() == nullptr);
  CHECK(Tree::height(t.root()) == 0);
  CHECK(clear(t).empty());
}

void test_reclamation_waits_for_readers() {
  long before = g_live_records;
  {
    Tree t(kAllocator);
    for (std::uintptr_t i = 1; i <= 6; ++i) insert(t, i * 8, i);
    insert(t, 8, 7);
    t.reader_enter();
    CHECK(erase(t, 16, 2));  // tree node removed with rebalancing
    CHECK(erase(t, 8, 1));   // promotion frees the chain entry's record
    CHECK(t.parked_count() == 2);
    CHECK(g_live_records == before + 7);
    t.reader_exit();
    insert(t, 100, 8);  // a later write section that sees no reader frees them
    CHECK(t.parked_count() == 0);
    CHECK(g_live_records == before + 6);

    // Records detached while a reader is registered are parked as they are released.
    t.reader_enter();
    t.begin_write();
    ReleaseList list = t.detach_all();
    t.end_write();
    CHECK(list.shared);
    while (list.head != nullptr) t.release_front(list);
    CHECK(t.parked_count() == 6);
    t.reader_exit();
    CHECK(g_live_records == before + 6);
    // Destruction frees what is still parked.
  }
  CHECK(g_live_records == before);
}

void test_walk_bound() {
  // A walk through a cycle (which only a tree changing under the reader can present) stops as an inconsistent read.
  Tree t(kAllocator);
  insert(t, 50, 1);
  Record* root = t.root();
  root->left.store(root);
  root->right.store(root);
  CHECK(!t.search_exact(10).complete);
  CHECK(!t.search_best_fit(60).complete);
  CHECK(!t.search_best_fit(10).complete);
  root->left.store(nullptr);
  root->right.store(nullptr);
  CHECK(t.search_exact(50).complete);
  clear(t);
}

// Readers walk without the lock while one writer inserts, deletes, removes best fits (searching without the lock,
// as remove_ge does) and clears. `gil` plays the interpreter lock: the writer changes the tree only while it holds
// it, and readers take it to validate and to look at what they found.
void test_concurrent_readers() {
  struct Shared {
    Tree tree{kAllocator};
    std::mutex gil;
    Model model;  // guarded by gil
    std::atomic<bool> stop{false};
    std::atomic<long> validated{0};
    std::atomic<long> retried{0};
  } sh;

  auto reader = [&sh](std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    while (!sh.stop.load()) {
      std::uint64_t q = rng() % 600;
      bool exact = rng() % 2 == 0;
      std::unique_lock<std::mutex> lock(sh.gil);
      sh.tree.reader_enter();
      std::uint64_t start = sh.tree.read_begin();
      lock.unlock();
      if (start % 2 == 1) {
        sh.tree.reader_exit();
        std::this_thread::yield();
        continue;
      }
      Found f = exact ? sh.tree.search_exact(q) : sh.tree.search_best_fit(q);
      std::size_t count = f.complete && f.node != nullptr ? Tree::block_count(f.node) : 0;
      lock.lock();
      if (f.complete && sh.tree.read_validate(start)) {
        // Nothing changed since the walk began: the result is the tree's current answer.
        auto it = exact ? sh.model.find(q) : sh.model.lower_bound(q);
        if (it == sh.model.end()) {
          CHECK(f.node == nullptr);
        } else {
          CHECK(f.node != nullptr);
          if (f.node != nullptr) {
            CHECK(f.node->size.load() == it->first);
            CHECK(id_of(f.node->block) == it->second.front());
            CHECK(count == it->second.size());
          }
        }
        ++sh.validated;
      } else {
        ++sh.retried;
      }
      sh.tree.reader_exit();
    }
  };

  std::vector<std::thread> readers;
  for (std::uint64_t i = 0; i < 3; ++i) readers.emplace_back(reader, 100 + i);

  std::mt19937_64 rng(42);
  std::vector<std::pair<std::uint64_t, std::uintptr_t>> stored;
  std::uintptr_t next_id = 1;
  for (int step = 0; step < 30000; ++step) {
    unsigned op = rng() % 100;
    std::uint64_t s = rng() % 600;
    if (op < 50 || stored.empty()) {
      std::lock_guard<std::mutex> lock(sh.gil);
      insert(sh.tree, s, next_id);
      model_insert(sh.model, s, next_id);
      stored.emplace_back(s, next_id++);
    } else if (op < 80) {
      std::size_t i = rng() % stored.size();
      std::lock_guard<std::mutex> lock(sh.gil);
      CHECK(erase(sh.tree, stored[i].first, stored[i].second) ==
            model_erase(sh.model, stored[i].first, stored[i].second));
      stored[i] = stored.back();
      stored.pop_back();
    } else if (op < 99) {
      std::unique_lock<std::mutex> lock(sh.gil);
      sh.tree.begin_write();
      lock.unlock();
      Record* node = sh.tree.find_best_fit(s);
      lock.lock();
      if (node != nullptr) {
        std::uint64_t actual = node->size.load();
        std::uintptr_t id = id_of(sh.tree.take_first(node));
        CHECK((model_remove_ge(sh.model, s) == std::pair<std::uint64_t, std::uintptr_t>{actual, id}));
      } else {
        CHECK(!model_remove_ge(sh.model, s).has_value());
      }
      sh.tree.end_write();
    } else {
      std::unique_lock<std::mutex> lock(sh.gil);
      sh.tree.begin_write();
      ReleaseList list = sh.tree.detach_all();
      sh.tree.end_write();
      sh.model.clear();
      stored.clear();
      // Released a record at a time with the lock dropped in between, as block destructors may let others run.
      while (list.head != nullptr) {
        sh.tree.release_front(list);
        lock.unlock();
        lock.lock();
      }
    }
    if (step % 8 == 0) std::this_thread::yield();
  }
  sh.stop = true;
  for (std::thread& th : readers) th.join();
  CHECK(sh.validated > 0);
  std::printf("concurrent readers: %ld validated reads, %ld retried\n", sh.validated.load(), sh.retried.load());
  std::lock_guard<std::mutex> lock(sh.gil);
  clear(sh.tree);
}

}  // namespace

int main() {
  struct Case {
    const char* name;
    void (*run)();
  };
  const Case cases[] = {
      {"fixed_orders", test_fixed_orders},
      {"random_sequences", test_random_sequences},
      {"chain_order_and_promotion", test_chain_order_and_promotion},
      {"extreme_sizes", test_extreme_sizes},
      {"release_order_and_statistics", test_release_order_and_statistics},
      {"reclamation_waits_for_readers", test_reclamation_waits_for_readers},
      {"walk_bound", test_walk_bound},
      {"concurrent_readers", test_concurrent_readers},
  };
  int passed = 0, failed = 0;
  for (const Case& c : cases) {
    int before = g_failed_checks;
    c.run();
    bool ok = g_failed_checks == before;
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", c.name);
    (ok ? passed : failed)++;
  }
  if (g_live_records != 0) {
    std::printf("FAIL leaked %ld records\n", g_live_records.load());
    ++failed;
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
