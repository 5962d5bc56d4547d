"""MemoryBlock, the block value type of korvane.memory.lorrit."""
import dataclasses

import pytest

from korvane.memory.lorrit import MemoryBlock


def test_blocks_compare_by_value():
    a = MemoryBlock(offset=64, size=32)
    assert a == MemoryBlock(64, 32)
    assert a != MemoryBlock(64, 16)
    assert a != MemoryBlock(0, 32)
    assert hash(a) == hash(MemoryBlock(64, 32))
    assert repr(a) == "MemoryBlock(offset=64, size=32)"


def test_blocks_are_immutable():
    with pytest.raises(dataclasses.FrozenInstanceError):
        MemoryBlock(0, 8).size = 16
