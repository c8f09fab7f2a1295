"""State bytes through __getstate__ / __setstate__, copy and pickle."""

import copy
import pickle

import numpy as np
import pytest

from helpers import is_panic
from quorlin import Encoder
from state_tables import state_bytes

pytestmark = pytest.mark.leakcheck

SINGLE_X = bytes.fromhex(
    "01" "0100000000000000" "0000000000000000"
    "0100000000000000" "0000000000000000" "0100000000000000" "0100000000000000" "78"
    "01" "0000000000000000"
    "0100000000000000" "0000000000000000" "0100000000000000" "0000000000000000"
    "0100000000000000" "78"
    "00000000"
)


def fitted(table=None):
    enc = Encoder()
    enc.encode(np.array(table or [["b", 1.0], ["a", 2.0], ["b", 3.0]], dtype=object))
    return enc


def test_worked_example_is_104_bytes():
    assert len(SINGLE_X) == 104
    assert SINGLE_X == state_bytes([0], {0: {"x": 0}}, {0: {0: "x"}})
    enc = Encoder()
    enc.encode(np.array([["x"]], dtype=object))
    assert enc.__getstate__() == SINGLE_X


def test_fresh_encoder_state_is_five_zero_bytes():
    assert Encoder().__getstate__() == b"\x00" * 5


def test_tables_without_text_columns_are_29_bytes():
    enc = Encoder()
    enc.encode(np.array([[1, 2]], dtype=np.int64))
    assert enc.__getstate__() == b"\x01" + b"\x00" * 24 + b"\x00" * 4


def test_three_label_column_is_151_bytes():
    enc = Encoder()
    enc.encode(np.array([[0.5, "b"], [1.5, "nan"], [2.5, "a"]], dtype=object))
    state = enc.__getstate__()
    assert len(state) == 151
    other = Encoder()
    other.__setstate__(state)
    assert other.__getstate__().count(b"nan") == 1


def test_setstate_of_five_zero_bytes_removes_tables():
    enc = fitted()
    enc.__setstate__(b"\x00" * 5)
    assert enc.__getstate__() == b"\x00" * 5
    out = enc.decode(np.array([[0.0, 1.0]]))
    assert out.dtype == np.float64


def test_setstate_restores_labels_and_ignores_trailing_bytes():
    enc = Encoder()
    enc.__setstate__(SINGLE_X + b"\xff\x00 trailing")
    assert enc.__getstate__() == SINGLE_X
    out = enc.decode(np.array([[0.0], [np.nan], [7.0]]))
    assert out.tolist() == [["x"], ["NaN"], ["NaN"]]


# Each way the reader refuses bytes is checked byte by byte in tests/cpp/test_state.cpp; here
# a few refusals show what reaches Python: a ValueError with the reader's text behind a fixed
# prefix, and the tables from before the call kept.
@pytest.mark.parametrize(
    "state, text",
    [
        (b"", "io error: unexpected end of file"),
        # The last byte missing: the reader is given the bytes' own length.
        (SINGLE_X[:-1], "io error: unexpected end of file"),
        # Refused after whole tables were read.
        (SINGLE_X[:100] + b"\x07\x00\x00\x00",
         "invalid value: integer `7`, expected variant index 0 <= i < 1"),
    ],
    ids=["empty", "last_byte_missing", "strategy_after_tables"],
)
def test_unreadable_state_raises_value_error_and_keeps_tables(state, text):
    enc = fitted()
    before = enc.__getstate__()
    with pytest.raises(ValueError) as info:
        enc.__setstate__(state)
    assert str(info.value) == "failed to unpickle Encoder: " + text
    assert enc.__getstate__() == before


@pytest.mark.parametrize(
    "value, message",
    [
        (bytearray(SINGLE_X), "'bytearray' object is not an instance of 'bytes'"),
        (memoryview(SINGLE_X), "'memoryview' object is not an instance of 'bytes'"),
        (None, "'None' is not an instance of 'bytes'"),
        (SINGLE_X.hex(), "'str' object is not an instance of 'bytes'"),
    ],
)
def test_state_must_be_bytes(value, message):
    enc = fitted()
    before = enc.__getstate__()
    with pytest.raises(TypeError) as info:
        enc.__setstate__(value)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'state'"]
    assert enc.__getstate__() == before


def test_bytes_subclass_is_accepted_and_keyword_works():
    class Blob(bytes):
        pass

    enc = Encoder()
    enc.__setstate__(state=Blob(SINGLE_X))
    assert enc.__getstate__() == SINGLE_X


def test_incoherent_tables_are_accepted_and_fail_at_decode():
    enc = Encoder()
    enc.__setstate__(state_bytes([0], {}, {}))
    with pytest.raises(BaseException) as info:
        enc.decode(np.array([[0.0]]))
    assert is_panic(info.value)
    assert str(info.value) == "no entry found for key"
    # Still usable afterwards.
    enc.__setstate__(SINGLE_X)
    assert enc.decode(np.array([[0.0]])).tolist() == [["x"]]


def test_deepcopy_and_copy_give_equal_encoders():
    enc = fitted([["b", "y"], ["a", "z"], ["c", "nan"]])
    codes = np.array([[0.0, 1.0], [2.0, 0.0], [1.0, np.nan]])
    for clone in (copy.deepcopy(enc), copy.copy(enc)):
        assert type(clone) is Encoder and clone is not enc
        assert len(clone.__getstate__()) == len(enc.__getstate__())
        assert clone.decode(codes).tolist() == enc.decode(codes).tolist()


def test_pickle_fails_in_class_lookup():
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(fitted())


def test_forged_counts_reserve_no_large_memory(python_child):
    """Under an address-space cap a few tens of MiB above the baseline, forged counts still end
    in the reader's ValueError, never MemoryError or a crash."""
    proc = python_child(
        f"""
        import resource, struct
        from quorlin import Encoder
        SINGLE_X = {SINGLE_X!r}

        def vm_size():
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024

        cap = vm_size() + 48 * 1024 * 1024
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
        outcomes = set()
        for offset in (1, 17, 33, 41, 59, 75, 91):
            for count in (2**64 - 1, 2**63, 2**40, 2**32, 2**24):
                state = SINGLE_X[:offset] + struct.pack("<Q", count) + SINGLE_X[offset + 8:]
                try:
                    Encoder().__setstate__(state)
                    outcomes.add("accepted")
                except ValueError as exc:
                    outcomes.add(str(exc).split(": ")[1].split(":")[0])
        print(sorted(outcomes))
        """
    )
    assert proc.stdout.strip() == "['io error']"
