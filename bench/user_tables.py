"""Tables with the characters of users' text columns, seeded, for bench/bench_user_tables.py.

Each kind has 4 text columns (text0..text3, first) and 4 float64 columns (num0..num3), so that
bench_end_to_end's text_part and numpy_decoder read them as they read its own table.

Kind A, the first kind:
  text0  50 labels (words), Zipf-distributed, 2% missing as NaN;
  text1  5,000 ASCII labels of 11 to 19 bytes, uniform;
  text2  ids like user_0123456, about 20% of the rows distinct;
  text3  1,000 labels of 2- and 3-byte UTF-8 code points, 1% None.
Kind B, the second kind:
  text0  "yes" / "no", with 30% the string "NaN" (a label, not a missing cell);
  text1  20,000 URL-like labels of 40 to 80 bytes that share long prefixes;
  text2  16-character hex ids, about half of the rows distinct;
  text3  10,000 labels of emoji and CJK characters, 4 to 16 bytes.

Every generator takes its sizes and label lengths as keywords; make_columns(kind, rows, seed)
uses the defaults above. make_forms gives the three forms a user hands over: pandas' default
frame, the object frame (text columns .astype(object): on pandas 3 one str object per cell) and
the object ndarray (object_frame.to_numpy(dtype=object)).
"""

import string

import numpy as np
import pandas as pd

from bench_end_to_end import NUMBER_NAMES, PANDAS3, TEXT_NAMES

ALNUM = np.array(list(string.ascii_lowercase + string.digits))
LOWER = np.array(list(string.ascii_lowercase))

# Code points that UTF-8 writes in 2 bytes (Latin-1 letters, Latin Extended-A, Greek, Cyrillic,
# Hebrew) and in 3 bytes (Devanagari, Thai, Hangul Jamo compatibility, kana, CJK).
TWO_BYTE = [(0x00C0, 0x00FF), (0x0100, 0x017F), (0x0391, 0x03C9), (0x0410, 0x044F),
            (0x05D0, 0x05EA)]
THREE_BYTE = [(0x0905, 0x0939), (0x0E01, 0x0E2E), (0x3131, 0x318E), (0x3041, 0x3096),
              (0x30A1, 0x30FA), (0x4E00, 0x9FFF)]
# Emoji (4 bytes) and CJK ideographs and kana (3 bytes).
EMOJI = [(0x1F300, 0x1F5FF), (0x1F600, 0x1F64F), (0x1F680, 0x1F6FF), (0x1F900, 0x1F9FF)]
CJK = [(0x4E00, 0x9FFF), (0x3041, 0x3096), (0x30A1, 0x30FA), (0xAC00, 0xD7A3)]


# --- labels -----------------------------------------------------------------------------------

def _code_points(rng, ranges, n):
    """n random code points drawn from the ranges (inclusive), each range weighted by its size."""
    sizes = np.array([hi - lo + 1 for lo, hi in ranges])
    which = rng.choice(len(ranges), size=n, p=sizes / sizes.sum())
    lows = np.array([lo for lo, _ in ranges])
    return lows[which] + (rng.random(n) * sizes[which]).astype(np.int64)


def distinct_labels(rng, count, make_one):
    """count distinct labels from make_one(rng), in the order they were first made."""
    seen = {}
    while len(seen) < count:
        seen.setdefault(make_one(rng), None)
    return np.array(list(seen), dtype=object)


def ascii_labels(rng, count, min_bytes, max_bytes, alphabet=ALNUM):
    def one(r):
        return "".join(r.choice(alphabet, size=int(r.integers(min_bytes, max_bytes + 1))))
    return distinct_labels(rng, count, one)


def words(rng, count, min_bytes=3, max_bytes=12):
    """Lower-case words, as category names are."""
    return ascii_labels(rng, count, min_bytes, max_bytes, alphabet=LOWER)


def non_ascii_labels(rng, count, min_chars=2, max_chars=6):
    """Labels of 2- and 3-byte UTF-8 code points only, no ASCII byte (half the labels of each
    width, as names in one script or another)."""
    def one(r):
        n = int(r.integers(min_chars, max_chars + 1))
        return "".join(map(chr, _code_points(r, TWO_BYTE if r.random() < 0.5 else THREE_BYTE,
                                             n)))
    return distinct_labels(rng, count, one)


def emoji_cjk_labels(rng, count, min_bytes=4, max_bytes=16):
    """Labels of emoji (4 bytes each) and CJK characters (3 bytes each) of min_bytes to
    max_bytes bytes."""
    def one(r):
        while True:
            n = int(r.integers(1, max_bytes // 3 + 1))
            points = [_code_points(r, EMOJI if r.random() < 0.4 else CJK, 1)[0]
                      for _ in range(n)]
            text = "".join(map(chr, points))
            if min_bytes <= len(text.encode()) <= max_bytes:
                return text
    return distinct_labels(rng, count, one)


def url_labels(rng, count, min_bytes=40, max_bytes=80, hosts=4, sections=25):
    """URL-like labels: a few hosts and sections make long prefixes shared by hundreds of
    labels; a path tail brings each label to its drawn length."""
    host_names = [f"https://{sub}.{name}.com/" for sub, name in
                  zip(["www", "shop", "cdn", "api", "m", "static"][:hosts],
                      ["example", "example-store", "examplecdn", "example-api", "example",
                       "example-static"])]
    section_names = [f"{w}/" for w in words(rng, sections, 4, 9)]
    prefixes = [h + s for h in host_names for s in section_names]

    def one(r):
        prefix = prefixes[int(r.integers(len(prefixes)))]
        length = int(r.integers(max(min_bytes, len(prefix) + 4), max_bytes + 1))
        tail = "".join(r.choice(ALNUM, size=length - len(prefix) - 2))
        return prefix + tail[:len(tail) // 2] + "-" + tail[len(tail) // 2:] + "/"
    return distinct_labels(rng, count, one)


# --- columns ----------------------------------------------------------------------------------

def uniform_column(rng, rows, pool):
    return pool[rng.integers(0, len(pool), rows)]


def zipf_column(rng, rows, pool, exponent=1.1):
    """Cells drawn from pool with P(rank k) proportional to 1 / k**exponent; the ranks are
    shuffled, so that frequency and byte order differ."""
    weights = 1.0 / np.arange(1, len(pool) + 1) ** exponent
    return rng.permutation(pool)[rng.choice(len(pool), size=rows, p=weights / weights.sum())]


def id_column(rng, rows, distinct_share, make_ids):
    """round(rows * distinct_share) distinct ids, each in at least one row, the other rows
    drawn uniformly among them; make_ids(rng, k) gives k distinct ids."""
    k = max(1, min(rows, round(rows * distinct_share)))
    ids = make_ids(rng, k)
    k = len(ids)  # a generator may give a few fewer (repeated random ids dropped)
    index = np.concatenate([np.arange(k), rng.integers(0, k, rows - k)])
    return ids[rng.permutation(index)]


def user_ids(prefix="user_", digits=7):
    def make(rng, k):
        width = max(digits, len(str(4 * k)))  # room for k distinct numbers
        numbers = rng.choice(10 ** width, size=k, replace=False)
        return np.array([f"{prefix}{n:0{width}d}" for n in numbers.tolist()], dtype=object)
    return make


def hex_ids(chars=16):
    def make(rng, k):
        numbers = np.unique(rng.integers(0, 16 ** chars - 1, size=k, dtype=np.uint64,
                                         endpoint=True))
        return np.array([f"{n:0{chars}x}" for n in numbers.tolist()], dtype=object)
    return make


def with_missing(rng, column, share, value):
    column = column.copy()
    column[rng.random(len(column)) < share] = value
    return column


def numbers(rng, rows):
    """Four float64 columns: a measure, a price, a count, a share."""
    return {NUMBER_NAMES[0]: rng.normal(size=rows),
            NUMBER_NAMES[1]: np.round(rng.lognormal(3.0, 1.0, rows), 2),
            NUMBER_NAMES[2]: rng.poisson(4.0, rows).astype(np.float64),
            NUMBER_NAMES[3]: rng.random(rows)}


def kind_a(rows, seed, zipf_labels=50, zipf_exponent=1.1, zipf_missing=0.02,
           word_labels=5_000, word_bytes=(11, 19), id_share=0.2, id_digits=7,
           utf8_labels=1_000, utf8_chars=(2, 6), utf8_missing=0.01):
    rng = np.random.default_rng([seed, 0xA])
    return {
        TEXT_NAMES[0]: with_missing(rng, zipf_column(rng, rows, words(rng, zipf_labels),
                                                     zipf_exponent), zipf_missing, np.nan),
        TEXT_NAMES[1]: uniform_column(rng, rows, ascii_labels(rng, word_labels, *word_bytes)),
        TEXT_NAMES[2]: id_column(rng, rows, id_share, user_ids(digits=id_digits)),
        TEXT_NAMES[3]: with_missing(rng, uniform_column(
            rng, rows, non_ascii_labels(rng, utf8_labels, *utf8_chars)), utf8_missing, None),
        **numbers(rng, rows),
    }


def kind_b(rows, seed, nan_string_share=0.3, url_labels_count=20_000, url_bytes=(40, 80),
           hex_share=0.5, hex_chars=16, emoji_labels=10_000, emoji_bytes=(4, 16)):
    rng = np.random.default_rng([seed, 0xB])
    rest = (1.0 - nan_string_share) / 2
    yes_no = np.array(["yes", "no", "NaN"], dtype=object)
    return {
        TEXT_NAMES[0]: yes_no[rng.choice(3, size=rows, p=[rest, rest, nan_string_share])],
        TEXT_NAMES[1]: uniform_column(rng, rows, url_labels(rng, url_labels_count, *url_bytes)),
        TEXT_NAMES[2]: id_column(rng, rows, hex_share, hex_ids(hex_chars)),
        TEXT_NAMES[3]: uniform_column(rng, rows, emoji_cjk_labels(rng, emoji_labels,
                                                                  *emoji_bytes)),
        **numbers(rng, rows),
    }


KINDS = {"A": kind_a, "B": kind_b}

# What each text column is, for the reports.
DESCRIPTIONS = {
    "A": ("50 Zipf labels, 2% NaN", "5,000 labels of 11-19 B", "user_ ids, 20% distinct",
          "1,000 UTF-8 2-3 B/char, 1% None"),
    "B": ('"yes"/"no", 30% "NaN"', "20,000 URLs of 40-80 B", "hex ids, 50% distinct",
          "10,000 emoji/CJK, 4-16 B"),
}


def make_columns(kind, rows, seed):
    return KINDS[kind](rows, seed)


def make_forms(columns):
    """The forms by name: default frame (pandas 3 only: on pandas 2 pandas' default frame is
    the object frame), object frame, object ndarray."""
    default = pd.DataFrame(columns)
    forms = {}
    if PANDAS3:
        forms["default frame"] = default
    forms["object frame"] = default.astype({name: object for name in TEXT_NAMES})
    forms["object ndarray"] = forms["object frame"].to_numpy(dtype=object)
    return forms
