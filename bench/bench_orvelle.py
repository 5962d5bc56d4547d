"""korvane.memory.orvelle: FastRedBlackTree against the block indexes a user would otherwise write in Python, one on
sortedcontainers.SortedDict and one on bisect over a sorted list of sizes (each mapping a size to a list of blocks),
with 1,000 and 1,000,000 blocks stored.

Block sizes follow a pool's mix: multiples of 16 bytes, log-uniform between 16 B and 1 MiB. Every changing row is a
pair of inverse operations so that each index stays at its size while it is timed: a block inserted and deleted again,
a best-fit removal whose block is inserted back, and the pool workload, where each step allocates the best fit for a
request and frees the block allocated 256 steps earlier.
"""
import bisect
import collections
import itertools
import random

from _timing import Candidate, Row

from korvane.memory.lorrit import MemoryBlock
from korvane.memory.orvelle import FastRedBlackTree

try:
    from sortedcontainers import SortedDict
except ImportError:  # pragma: no cover - the bench extra installs it
    SortedDict = None

SIZES = (1_000, 1_000_000)
LIVE = 256  # allocations held by the pool workload before they are freed
CYCLE = 4096  # pre-drawn requests per row


class SortedDictIndex:
    """size -> list of blocks, sizes kept in order by a SortedDict."""

    def __init__(self, pairs):
        by_size = {}
        for size, block in pairs:
            by_size.setdefault(size, []).append(block)
        self._d = SortedDict(by_size)
        self._keys = self._d.keys()

    def insert(self, size, block):
        blocks = self._d.get(size)
        if blocks is None:
            self._d[size] = [block]
        else:
            blocks.append(block)
        return True

    def delete(self, size, block):
        blocks = self._d.get(size)
        if blocks is None or block not in blocks:
            return False
        blocks.remove(block)
        if not blocks:
            del self._d[size]
        return True

    def find_best_fit(self, size):
        i = self._d.bisect_left(size)
        if i == len(self._keys):
            return None
        return self._d[self._keys[i]][-1]

    def remove_ge(self, size):
        i = self._d.bisect_left(size)
        if i == len(self._keys):
            return None, None
        key = self._keys[i]
        blocks = self._d[key]
        block = blocks.pop()
        if not blocks:
            del self._d[key]
        return key, block


class BisectIndex:
    """size -> list of blocks in a dict, with the sizes in a sorted list searched by bisect."""

    def __init__(self, pairs):
        self._blocks = {}
        for size, block in pairs:
            self._blocks.setdefault(size, []).append(block)
        self._sizes = sorted(self._blocks)

    def insert(self, size, block):
        blocks = self._blocks.get(size)
        if blocks is None:
            self._blocks[size] = [block]
            bisect.insort(self._sizes, size)
        else:
            blocks.append(block)
        return True

    def delete(self, size, block):
        blocks = self._blocks.get(size)
        if blocks is None or block not in blocks:
            return False
        blocks.remove(block)
        if not blocks:
            del self._blocks[size]
            del self._sizes[bisect.bisect_left(self._sizes, size)]
        return True

    def find_best_fit(self, size):
        i = bisect.bisect_left(self._sizes, size)
        if i == len(self._sizes):
            return None
        return self._blocks[self._sizes[i]][-1]

    def remove_ge(self, size):
        i = bisect.bisect_left(self._sizes, size)
        if i == len(self._sizes):
            return None, None
        key = self._sizes[i]
        blocks = self._blocks[key]
        block = blocks.pop()
        if not blocks:
            del self._blocks[key]
            del self._sizes[i]
        return key, block


def pool_size(rng):
    """A request or block size: a multiple of 16 bytes, log-uniform between 16 B and 1 MiB."""
    return max(16, int(2 ** rng.uniform(4, 20)) // 16 * 16)


def make_indexes(n, rng):
    pairs = []
    for offset in range(n):
        size = pool_size(rng)
        pairs.append((size, MemoryBlock(offset=offset, size=size)))
    tree = FastRedBlackTree()
    for size, block in pairs:
        tree.insert(size, block)
    indexes = [("korvane FastRedBlackTree", tree)]
    if SortedDict is not None:
        indexes.append(("Python SortedDict index", SortedDictIndex(pairs)))
    indexes.append(("Python bisect index", BisectIndex(pairs)))
    return indexes


def rows_for(n, seed):
    rng = random.Random(seed)
    indexes = make_indexes(n, rng)
    # Requests below the 90th percentile of the sizes always find a block, also with LIVE blocks taken out.
    stored = sorted(pool_size(random.Random(seed + 1)) for _ in range(2000))
    cap = stored[int(len(stored) * 0.9)]
    requests = [min(pool_size(rng), cap) for _ in range(CYCLE)]
    fresh = [(s, MemoryBlock(offset=-1 - i, size=s)) for i, s in enumerate(pool_size(rng) for _ in range(CYCLE))]
    label = f"{n:,} blocks"

    def candidates(stmt, setup="pass", extra=None):
        out = []
        for name, index in indexes:
            ns = {"t": index, "req": itertools.cycle(requests), "fresh": itertools.cycle(fresh), "next": next,
                  "collections": collections, "LIVE": LIVE}
            ns.update(extra or {})
            out.append(Candidate(name, stmt, ns, setup))
        return out

    # The pool starts each timing run with LIVE blocks allocated, all freed again when the next run sets up.
    pool_setup = ("for _live in holder:\n"
                  "    for _s, _b in _live: t.insert(_s, _b)\n"
                  "holder.clear()\n"
                  "live = collections.deque(t.remove_ge(next(req)) for _ in range(LIVE))\n"
                  "holder.append(live)")
    return [
        Row("orvelle", f"insert + delete, {label}",
            candidates("s, b = next(fresh); t.insert(s, b); t.delete(s, b)")),
        Row("orvelle", f"find_best_fit, {label}", candidates("t.find_best_fit(next(req))")),
        Row("orvelle", f"remove_ge + insert back, {label}",
            candidates("s, b = t.remove_ge(next(req)); t.insert(s, b)")),
        Row("orvelle", f"pool: best-fit alloc + free, {label}",
            candidates("live.append(t.remove_ge(next(req))); s, b = live.popleft(); t.insert(s, b)",
                       setup=pool_setup, extra={"holder": []}),
            note="each step: remove_ge for a request, insert of the block taken LIVE steps earlier"),
    ]


def rows():
    out = []
    for i, n in enumerate(SIZES):
        out.extend(rows_for(n, seed=1000 + i))
    return out
