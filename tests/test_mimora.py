"""Tests of tavrin_minio.mimora: suffix-to-MIME lookup.

The expected table lives in tests/mime_table.py and is kept apart from the
native module's own table on purpose: the two are compared entry by entry.
"""

import collections
import concurrent.futures
import gc
import json
import os
import subprocess
import sys
import textwrap
import tracemalloc

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tavrin_minio.mimora as mimora_module
from tavrin_minio.mimora import get_mimora

if os.path.dirname(os.path.abspath(__file__)) not in sys.path:
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mime_table import DEFAULT, ROWS, TABLE, X_SUFFIXES

CHANGE_MSG = ("Interpreter change detected - this module can only be loaded "
              "into one interpreter per process.")
REINIT_MSG = ("Module 'mimora' has already been imported. "
              "Re-initialisation is not supported.")


def oracle(name):
    """The lookup rule written out in Python."""
    return TABLE.get(name.split(".")[-1], DEFAULT)


def fresh(text):
    """An equal str built at run time instead of taken from a literal."""
    return "".join(list(text))


def run_py(code, tmp_path, timeout=120):
    """Run `code` in a new interpreter process; return its last stdout line as JSON."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout,
                          cwd=str(tmp_path))
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    lines = proc.stdout.strip().splitlines()
    assert lines, f"child printed nothing\nstderr:\n{proc.stderr}"
    return json.loads(lines[-1])


# ---------------------------------------------------------------------------
# The table

def test_expected_table_shape():
    # Guards the hand-typed table itself: 105 + 218 suffixes, none twice.
    row_suffixes = [s for _, suffixes in ROWS for s in suffixes]
    assert len(X_SUFFIXES) == 105
    assert len(ROWS) == 141
    assert len(row_suffixes) == 218
    everything = list(X_SUFFIXES) + row_suffixes
    assert len(set(everything)) == len(everything) == 323
    assert len(TABLE) == 323
    assert len(set(TABLE.values())) == 244
    assert DEFAULT not in TABLE.values()
    assert [s for s in TABLE if s != s.lower()] == ["IVF"]
    assert sorted(s for s in TABLE if s.isdigit()) == ["001", "301", "323", "906", "907"]
    assert sorted(s for s in TABLE if "_" in s) == ["x_b", "x_t"]


@pytest.mark.parametrize("suffix", sorted(TABLE))
def test_every_suffix(suffix):
    expected = TABLE[suffix]
    assert get_mimora(suffix) == expected
    assert get_mimora("file." + suffix) == expected
    assert get_mimora("dir.d/sub\\x.y." + suffix) == expected
    assert get_mimora(data="." + suffix) == expected
    result = get_mimora(fresh("name." + suffix))
    assert type(result) is str and result == expected
    # Neighbours of an entry are not entries (unless they happen to be one).
    for near in (suffix + " ", " " + suffix, suffix.upper(), suffix + "x", suffix[:-1]):
        assert get_mimora("f." + near) == TABLE.get(near, DEFAULT)


@pytest.mark.parametrize("suffix, expected", [
    ("001", "application/x-001"),
    ("x_b", "application/x-x_b"),
    ("x_t", "application/x-x_t"),
    ("latex", "application/x-latex"),
    ("sst", "application-pki.certstore"),
    ("pko", "application-pki.pko"),
    ("stl", "application/-pki.stl"),
    ("mpp", "application/-project"),
    ("mpw", "application/s-project"),
    ("cat", "application/s-pki.seccat"),
    ("wpl", "application/-wpl"),
    ("pps", "application-powerpoint"),
    ("ppt", "applications-powerpoint"),
    ("pot", "applications-powerpoint"),
    ("ppa", "application/vs-powerpoint"),
    ("pwz", "application/powerpoint"),
    ("907", "drawing/907"),
    ("323", "text/h323"),
    ("class", "java/*"),
    ("java", "java/*"),
    ("dwf", "Model/vnd.dwf"),
    ("rmp", "application/vnd.rn-rn_music_package"),
    ("IVF", "video/x-ivf"),
    ("csv", "application/csv"),
    ("eps", "application/x-ps"),
])
def test_unusual_types_verbatim(suffix, expected):
    assert get_mimora("x." + suffix) == expected


def test_results_are_shared_constants():
    # Every suffix of one type yields one and the same object.
    by_type = collections.defaultdict(list)
    for suffix, mime in TABLE.items():
        by_type[mime].append(get_mimora(fresh("n." + suffix)))
    assert len(by_type) == 244
    for mime, results in by_type.items():
        assert all(r is results[0] for r in results), mime
    # Distinct types are distinct objects.
    firsts = [results[0] for results in by_type.values()]
    assert len({id(r) for r in firsts}) == 244
    assert get_mimora("a.jpg") is get_mimora("b.jpeg") is get_mimora("c.jfif")
    assert get_mimora("x.pdf") is get_mimora(fresh("y.pdf")) is get_mimora(data="pdf")


def test_default_is_one_object():
    defaults = [get_mimora(n) for n in ("", "a.", "README", "x.zip", fresh("q.gz"),
                                        "x.PDF", "\udc80", "报告.未知")]
    assert all(type(d) is str and d == DEFAULT for d in defaults)
    assert all(d is defaults[0] for d in defaults)
    assert defaults[0] is not get_mimora("x.bin.pdf")


# ---------------------------------------------------------------------------
# Edge cases of the split rule

EDGE_CASES = [
    ("a.b.c.html", "text/html"),
    ("backup.tar.gz", DEFAULT),
    ("archive.tar", DEFAULT),
    ("REPORT.PDF", DEFAULT),
    ("photo.JPG", DEFAULT),
    ("photo.Jpg", DEFAULT),
    ("clip.IVF", "video/x-ivf"),
    ("clip.ivf", DEFAULT),
    ("clip.Ivf", DEFAULT),
    ("IVF", "video/x-ivf"),
    ("README", DEFAULT),
    ("txt", "text/plain"),
    ("pdf", "application/pdf"),
    ("", DEFAULT),
    (".", DEFAULT),
    ("..", DEFAULT),
    ("name.", DEFAULT),
    ("name.pdf.", DEFAULT),
    (".css", "text/css"),
    ("..css", "text/css"),
    ("a..pdf", "application/pdf"),
    ("logs/2024.01/report.csv", "application/csv"),
    ("build.old/readme", DEFAULT),
    ("build.old\\readme", DEFAULT),
    ("C:\\Users\\me\\doc.pdf", "application/pdf"),
    ("C:\\data.v2\\file", DEFAULT),
    ("/srv/www/index.htm", "text/html"),
    ("bucket/prefix/", DEFAULT),
    # A directory named like a suffix is only a suffix when it is the last segment.
    ("x.pdf/", DEFAULT),
    ("x.pdf\\y", DEFAULT),
    ("a.zip", DEFAULT),
    ("a.gz", DEFAULT),
    ("a.json", DEFAULT),
    ("a.log", DEFAULT),
    ("a.md", DEFAULT),
    ("a.webp", DEFAULT),
    ("a.docx", DEFAULT),
    ("a.xlsx", DEFAULT),
    ("a. pdf", DEFAULT),
    ("a.pdf ", DEFAULT),
    ("a.pdf\n", DEFAULT),
    ("a.\tpdf", DEFAULT),
    ("a.pdf\u00a0", DEFAULT),
    ("a.pdf\u3000", DEFAULT),
    ("报告.pdf", "application/pdf"),
    ("résumé.doc", "application/msword"),
    ("naïve.txt", "text/plain"),
    ("😀.png", "image/png"),
    ("照片/😀.2024/图.jpg", "image/jpeg"),
    ("文件.未知", DEFAULT),
    ("a．pdf", DEFAULT),       # full-width full stop is not a separator
    ("a。pdf", DEFAULT),
    ("a.ｐｄｆ", DEFAULT),      # full-width letters are not "pdf"
    ("\ud800.pdf", "application/pdf"),
    ("\udc80\udcff.jpg", "image/jpeg"),
    ("x.\udfff", DEFAULT),
    ("x.pdf\ud800", DEFAULT),
    ("x.\ud83d\ude00", DEFAULT),
    ("a\x00.pdf", "application/pdf"),
    ("a.pdf\x00", DEFAULT),
    ("a.\x00pdf", DEFAULT),
    ("a" * 1_000_000 + ".pdf", "application/pdf"),
    ("." * 100_000 + "svg", "text/xml"),
    ("x." * 100_000, DEFAULT),
    ("é" * 10_000 + ".ico", "image/x-icon"),
    ("\U0001F600" * 10_000 + ".wav", "audio/wav"),
]


@pytest.mark.parametrize("name, expected", EDGE_CASES,
                         ids=[repr(n[:24]) for n, _ in EDGE_CASES])
def test_edge_cases(name, expected):
    assert oracle(name) == expected          # the case list itself is right
    assert get_mimora(name) == expected
    assert get_mimora(data=name) == expected


def test_same_name_same_object():
    name = "contract.docx.pdf"
    assert get_mimora(name) is get_mimora(name)
    assert get_mimora(name) is get_mimora(fresh(name))
    assert get_mimora("x.y") is get_mimora("x.y")


# ---------------------------------------------------------------------------
# The argument only needs a `split` method

class Recorder:
    """Has a split method that records its arguments and returns a fixed result."""

    def __init__(self, result):
        self.result = result
        self.calls = []

    def split(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


class PlainSub(str):
    pass


class SplitSub(str):
    def split(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return ["whatever", "pdf"]


class Seq:
    """A sequence that is not a list or tuple."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("result, expected", [
    (["a", "pdf"], "application/pdf"),
    (("a", "css"), "text/css"),
    (["IVF"], "video/x-ivf"),
    (["x", "zip"], DEFAULT),
    ([""], DEFAULT),
    (Seq("a", "b", "png"), "image/png"),
    (Seq("png", "zzz"), DEFAULT),
    ([PlainSub("gif")], "image/gif"),
    (["pdf", "svg", "jpg"], "image/jpeg"),
    ([1, 2, "xml"], "text/xml"),
    (["pdf", 3], DEFAULT),              # any hashable key may be looked up
    (["pdf", None], DEFAULT),
    (["pdf", b"pdf"], DEFAULT),
    (["pdf", ("pdf",)], DEFAULT),
])
def test_split_result_is_honoured(result, expected):
    rec = Recorder(result)
    got = get_mimora(rec)
    assert got == expected
    assert rec.calls == [((".",), {})]        # one call, one positional "."
    # The same constant as for a plain name.
    assert got is get_mimora("x." + result[-1] if expected != DEFAULT else "")


def test_split_is_looked_up_on_the_instance():
    class Bag:
        pass

    bag = Bag()
    bag.split = lambda sep: ["x", "mp3"] if sep == "." else ["bad"]
    assert get_mimora(bag) == "audio/mp3"

    class Dynamic:
        def __getattr__(self, name):
            if name == "split":
                return lambda sep: ("x", "mp4")
            raise AttributeError(name)

    assert get_mimora(Dynamic()) == "video/mp4"


def test_str_subclass_split_is_called():
    s = SplitSub("notes.txt")
    s.calls = []
    assert get_mimora(s) == "application/pdf"
    assert s.calls == [((".",), {})]
    assert get_mimora(data=s) == "application/pdf"


def test_str_subclass_instance_split_attribute_is_called():
    # A plain str subclass whose instance carries its own `split`.
    s = PlainSub("notes.txt")
    s.split = lambda sep: ["bmp"]
    assert get_mimora(s) == "application/x-bmp"


@pytest.mark.parametrize("name", ["notes.txt", "a.b.c.html", "README", "", "x.PDF", "报告.pdf"])
def test_plain_str_subclass(name):
    assert get_mimora(PlainSub(name)) == oracle(name)


class Key(str):
    """A str subclass whose hash and equality pretend it is `alias`."""

    def __new__(cls, text, alias):
        obj = super().__new__(cls, text)
        obj.alias = alias
        return obj

    def __hash__(self):
        return hash(self.alias)

    def __eq__(self, other):
        return other == self.alias

    def __ne__(self, other):
        return not self.__eq__(other)


@pytest.mark.parametrize("key", [
    Key("anything", "pdf"),
    Key("pdf", "zip"),          # equal text but pretends to be another key
    Key("pdf", "PDF"),
    Key("x", "IVF"),
    Key("", ""),
])
def test_custom_hash_and_eq_behave_like_dict_lookup(key):
    rec = Recorder(["name", key])
    assert get_mimora(rec) == TABLE.get(key, DEFAULT)


def test_custom_hash_equal_but_eq_false():
    class Never(str):
        def __hash__(self):
            return hash("pdf")

        def __eq__(self, other):
            return False

    assert get_mimora(Recorder([Never("pdf")])) == DEFAULT


# ---------------------------------------------------------------------------
# Failures

class Boom(Exception):
    pass


def test_bytes_raises_bytes_split_error():
    with pytest.raises(TypeError) as expected:
        b"a.pdf".split(".")
    with pytest.raises(TypeError) as got:
        get_mimora(b"a.pdf")
    assert str(got.value) == str(expected.value)
    with pytest.raises(TypeError):
        get_mimora(bytearray(b"a.pdf"))


@pytest.mark.parametrize("value", [None, 1, 1.5, object(), ["a", "pdf"], ("a.pdf",), {"a": 1}])
def test_no_split_attribute(value):
    with pytest.raises(AttributeError, match="split"):
        get_mimora(value)


@pytest.mark.parametrize("result", [[], (), Seq()])
def test_empty_split_result(result):
    with pytest.raises(IndexError):
        get_mimora(Recorder(result))


@pytest.mark.parametrize("result", [[[1]], ["a", {}], ("pdf", {"pdf"}), Seq(bytearray(b"x"))])
def test_unhashable_suffix(result):
    with pytest.raises(TypeError, match="unhashable"):
        get_mimora(Recorder(result))


@pytest.mark.parametrize("result", [None, 5, object()])
def test_split_result_not_subscriptable(result):
    with pytest.raises(TypeError):
        get_mimora(Recorder(result))


def test_split_exceptions_propagate_unchanged():
    err = Boom("from split")

    class Raiser:
        def split(self, sep):
            raise err

    with pytest.raises(Boom) as info:
        get_mimora(Raiser())
    assert info.value is err

    class NotCallable:
        split = 42

    with pytest.raises(TypeError, match="not callable"):
        get_mimora(NotCallable())

    class WrongArity:
        def split(self):
            return ["pdf"]

    with pytest.raises(TypeError):
        get_mimora(WrongArity())

    class BadIndex(Seq):
        def __getitem__(self, index):
            raise Boom("getitem")

    with pytest.raises(Boom, match="getitem"):
        get_mimora(Recorder(BadIndex("a")))


def test_hash_and_eq_errors_propagate():
    class BadHash(str):
        def __hash__(self):
            raise Boom("hash")

    with pytest.raises(Boom, match="hash"):
        get_mimora(Recorder([BadHash("pdf")]))

    class BadEq(str):
        def __hash__(self):
            return hash("pdf")

        def __eq__(self, other):
            raise Boom("eq")

    with pytest.raises(Boom, match="eq"):
        get_mimora(Recorder([BadEq("pdf")]))


def test_split_may_reenter():
    class Nested:
        def split(self, sep):
            return ["x", get_mimora("inner.txt")[-5:]]       # "plain"

    assert get_mimora(Nested()) == DEFAULT

    class Via:
        def split(self, sep):
            return ["x", "pdf" if get_mimora("a.pdf") == "application/pdf" else "no"]

    assert get_mimora(Via()) == "application/pdf"


# ---------------------------------------------------------------------------
# Argument binding

PREFIX = "get_mimora() "


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "takes exactly 1 positional argument (0 given)"),
    (("a", "b"), {}, "takes exactly 1 positional argument (2 given)"),
    (("a", "b", "c"), {}, "takes exactly 1 positional argument (3 given)"),
    ((), {"other": 1}, "takes exactly 1 positional argument (0 given)"),
    ((), {"Data": "x.pdf"}, "takes exactly 1 positional argument (0 given)"),
    (("a", "b"), {"data": "c"}, "takes exactly 1 positional argument (2 given)"),
    (("a", "b"), {"other": 1}, "takes exactly 1 positional argument (2 given)"),
    (("a",), {"data": "b"}, "got multiple values for keyword argument 'data'"),
    (("a",), {"other": 1}, "got an unexpected keyword argument 'other'"),
    ((), {"data": "a", "other": 1}, "got an unexpected keyword argument 'other'"),
    ((), {"other": 1, "data": "a"}, "got an unexpected keyword argument 'other'"),
    (("a",), {"données": 1}, "got an unexpected keyword argument 'données'"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        get_mimora(*args, **kwargs)
    assert str(info.value) == PREFIX + message


def test_argument_errors_come_before_split():
    rec = Recorder(["pdf"])
    for args, kwargs in [((rec, rec), {}), ((rec,), {"other": 1}),
                         ((rec,), {"data": rec}), ((), {"data": rec, "x": 1})]:
        with pytest.raises(TypeError):
            get_mimora(*args, **kwargs)
    assert rec.calls == []


@pytest.mark.parametrize("keyword", ["data", fresh("data"), PlainSub("data")])
def test_data_keyword(keyword):
    assert get_mimora(**{keyword: "x.pdf"}) == "application/pdf"
    assert get_mimora(**{keyword: "README"}) == DEFAULT


def test_non_string_keyword_names(tmp_path):
    # Only reachable through the C call protocol; run in a child so a crash
    # is reported instead of taking the test run down.
    out = run_py("""
        import ctypes, json
        from tavrin_minio.mimora import get_mimora
        call = ctypes.pythonapi.PyObject_Vectorcall
        call.restype = ctypes.py_object
        call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
        def attempt(args, kwnames):
            arr = (ctypes.py_object * max(1, len(args)))(*args)
            try:
                return ["ok", call(get_mimora, arr, len(args) - len(kwnames), kwnames)]
            except BaseException as e:
                return [type(e).__name__, str(e)]
        print(json.dumps({
            "one_pos": attempt(["x.pdf", 1], (7,)),
            "no_pos": attempt([1], (7,)),
            "kw_data": attempt(["x.pdf"], ("data",)),
            "pos_only": attempt(["x.css"], ()),
        }))
    """, tmp_path)
    assert out["one_pos"] == ["TypeError", "get_mimora() keywords must be strings"]
    assert out["no_pos"] == ["TypeError",
                             "get_mimora() takes exactly 1 positional argument (0 given)"]
    assert out["kw_data"] == ["ok", "application/pdf"]
    assert out["pos_only"] == ["ok", "text/css"]


# ---------------------------------------------------------------------------
# Function and module attributes

def test_function_attributes():
    assert get_mimora.__doc__ == "get_mimora(data)"
    assert get_mimora.__module__ == "mimora"
    assert get_mimora.__qualname__ == "get_mimora"
    assert get_mimora.__name__ == "get_mimora"
    assert callable(get_mimora)


def test_module_namespace():
    m = mimora_module
    assert m.__name__ == "tavrin_minio.mimora"
    assert m.__spec__.name == "tavrin_minio.mimora"
    assert isinstance(m.__doc__, str) and m.__doc__.strip()
    assert m.__file__ == m.__spec__.origin
    assert m.get_mimora is get_mimora
    public = {k for k in vars(m) if not k.startswith("__")}
    assert public == {"get_mimora"}


def test_concurrent_calls():
    names = [f"dir.{i}/file.{s}" for i, s in enumerate(list(TABLE) + ["zip", "", "PDF"])]
    expected = [oracle(n) for n in names]

    def work(_):
        return [get_mimora(n) for n in names] == expected

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        assert all(pool.map(work, range(64)))


# ---------------------------------------------------------------------------
# Property: the module agrees with the Python rule on arbitrary text

ANY_CHAR = st.characters(exclude_categories=())         # includes surrogates
PIECES = st.one_of(
    st.text(ANY_CHAR, max_size=12),
    st.sampled_from(sorted(TABLE)),
    st.sampled_from([s.upper() for s in TABLE] + ["zip", "gz", "json", "ivf", "Pdf"]),
    st.sampled_from([".", ".", "..", "/", "\\", " ", "\t", "\x00", "\u3000", "．", ""]),
)
NOISE = st.one_of(
    st.sampled_from(["", "", "", " ", "\t", "\n", "\x00", "\u00a0", "\u3000", "\udc80",
                     "x", "X", "_", "/", "\\", "é", "\U0001F600"]),
    st.text(ANY_CHAR, min_size=1, max_size=2),
)
NAMES = st.one_of(
    st.text(ANY_CHAR),
    st.lists(PIECES, max_size=8).map("".join),
    st.tuples(st.text(ANY_CHAR, max_size=20), st.sampled_from(sorted(TABLE)))
      .map(lambda t: t[0] + "." + t[1]),
    # A table suffix with something stuck to either side of it.
    st.tuples(st.text(ANY_CHAR, max_size=10), NOISE, st.sampled_from(sorted(TABLE)), NOISE)
      .map(lambda t: t[0] + "." + t[1] + t[2] + t[3]),
)


@settings(max_examples=3000, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(NAMES)
def test_matches_oracle(name):
    expected = oracle(name)
    got = get_mimora(name)
    assert got == expected
    assert got is get_mimora(fresh(name))
    assert get_mimora(data=name) is got
    assert get_mimora(PlainSub(name)) is got


@settings(max_examples=500, deadline=None)
@given(st.lists(st.one_of(PIECES, st.integers(), st.none()), min_size=1, max_size=5))
def test_matches_oracle_on_split_results(parts):
    rec = Recorder(list(parts))
    assert get_mimora(rec) == TABLE.get(parts[-1], DEFAULT)


# ---------------------------------------------------------------------------
# References and memory

class NoSplit:
    pass


def _scenarios():
    """(label, call, objects whose reference counts must stay put)."""
    hit = fresh("annual.report.pdf")
    miss = fresh("archive.tar.gz")
    whole = fresh("README")              # split returns the string itself
    bare = fresh("txt")
    kw_value = fresh("x.css")
    lst = ["a", fresh("png")]
    rec = Recorder(lst)
    sub = SplitSub("x.txt")
    sub.calls = collections.deque(maxlen=1)
    empty = []
    rec_empty = Recorder(empty)
    inner = [1]
    unhashable = [inner]
    rec_unhashable = Recorder(unhashable)
    nosplit = NoSplit()
    raw = b"a.pdf"
    key = Key("zz", "pdf")
    rec_key = Recorder([key])
    other_value = object()
    pdf_type = get_mimora("x.pdf")
    default = get_mimora("")
    for r in (rec, rec_empty, rec_unhashable, rec_key):
        r.calls = collections.deque(maxlen=1)     # keep the recorders from growing

    def expect(exc, fn):
        def call():
            try:
                fn()
            except exc:
                return
            raise AssertionError("no exception")
        return call

    return [
        ("hit", lambda: get_mimora(hit), [hit, pdf_type]),
        ("miss", lambda: get_mimora(miss), [miss, default]),
        ("whole", lambda: get_mimora(whole), [whole, default]),
        ("bare", lambda: get_mimora(bare), [bare]),
        ("keyword", lambda: get_mimora(data=kw_value), [kw_value]),
        ("custom", lambda: get_mimora(rec), [rec, lst, lst[-1]]),
        ("subclass", lambda: get_mimora(sub), [sub, pdf_type]),
        ("custom key", lambda: get_mimora(rec_key), [rec_key, key, pdf_type]),
        ("index error", expect(IndexError, lambda: get_mimora(rec_empty)),
         [rec_empty, empty, default]),
        ("unhashable", expect(TypeError, lambda: get_mimora(rec_unhashable)),
         [rec_unhashable, unhashable, inner, default]),
        ("no split", expect(AttributeError, lambda: get_mimora(nosplit)), [nosplit, default]),
        ("bytes", expect(TypeError, lambda: get_mimora(raw)), [raw, default]),
        ("two args", expect(TypeError, lambda: get_mimora(hit, miss)), [hit, miss]),
        ("dup kw", expect(TypeError, lambda: get_mimora(hit, data=miss)), [hit, miss]),
        ("bad kw", expect(TypeError, lambda: get_mimora(hit, other=other_value)),
         [hit, other_value]),
        ("kw only bad", expect(TypeError, lambda: get_mimora(other=other_value)),
         [other_value]),
    ]


@pytest.mark.parametrize("index", range(len(_scenarios())),
                         ids=[s[0] for s in _scenarios()])
def test_no_reference_leaks(index):
    label, call, watched = _scenarios()[index]
    for _ in range(200):
        call()
    gc.collect()
    total = getattr(sys, "gettotalrefcount", None)
    before = [sys.getrefcount(o) for o in watched]
    total_before = total() if total else 0
    for _ in range(10_000):
        call()
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    assert after == before, label
    if total:
        assert total() - total_before < 100, label


@pytest.mark.parametrize("index", range(len(_scenarios())),
                         ids=[s[0] for s in _scenarios()])
def test_no_memory_growth(index):
    label, call, _ = _scenarios()[index]
    tracemalloc.start()
    try:
        for _ in range(500):
            call()
        gc.collect()
        start, _ = tracemalloc.get_traced_memory()
        for _ in range(20_000):
            call()
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # Even the smallest leaked object per call would add up to > 300 KiB.
    assert end - start < 32 * 1024, (label, end - start)


def test_out_of_memory_is_an_exception(tmp_path):
    _testcapi = pytest.importorskip("_testcapi")
    if not hasattr(_testcapi, "set_nomemory"):
        pytest.skip("_testcapi.set_nomemory unavailable")
    out = run_py("""
        import json, _testcapi
        from tavrin_minio.mimora import get_mimora
        names = ["".join(["report", ".pdf"]), "".join(["x", ".zip"])]
        seen = []
        for name, want in zip(names, ["application/pdf", "application/octet-stream"]):
            for k in range(0, 1200):
                try:
                    _testcapi.set_nomemory(k, k + 1)
                    try:
                        got = get_mimora(name)
                    finally:
                        _testcapi.remove_mem_hooks()
                except MemoryError:
                    seen.append("MemoryError")
                else:
                    seen.append("ok" if got == want else "wrong:" + repr(got))
        print(json.dumps({"seen": sorted(set(seen)),
                          "after": get_mimora("x.pdf")}))
    """, tmp_path, timeout=300)
    assert set(out["seen"]) <= {"ok", "MemoryError"}, out
    assert "ok" in out["seen"]
    assert out["after"] == "application/pdf"


# ---------------------------------------------------------------------------
# Module loading (each in its own process)

def test_bare_name_entry(tmp_path):
    out = run_py("""
        import json, sys
        assert "mimora" not in sys.modules
        import tavrin_minio.mimora as m
        import mimora
        from mimora import get_mimora
        print(json.dumps({
            "same": sys.modules["mimora"] is m,
            "imported": mimora is m,
            "func": get_mimora is m.get_mimora,
        }))
    """, tmp_path)
    assert out == {"same": True, "imported": True, "func": True}


def test_bare_name_already_taken(tmp_path):
    out = run_py("""
        import json, sys, types
        dummy = types.ModuleType("mimora")
        sys.modules["mimora"] = dummy
        import tavrin_minio.mimora as m
        print(json.dumps({
            "kept": sys.modules["mimora"] is dummy,
            "works": m.get_mimora("x.pdf"),
            "dummy_untouched": not hasattr(dummy, "get_mimora"),
        }))
    """, tmp_path)
    assert out == {"kept": True, "works": "application/pdf", "dummy_untouched": True}


def test_reimport_returns_same_module(tmp_path):
    out = run_py("""
        import importlib, json, sys
        import tavrin_minio.mimora as first
        del sys.modules["tavrin_minio.mimora"]
        sys.modules.pop("mimora", None)
        second = importlib.import_module("tavrin_minio.mimora")
        del sys.modules["tavrin_minio.mimora"]
        third = importlib.import_module("tavrin_minio.mimora")
        print(json.dumps({
            "same": second is first and third is first,
            "works": third.get_mimora("a.jpg"),
            "reload": importlib.reload(first) is first,
        }))
    """, tmp_path)
    assert out == {"same": True, "works": "image/jpeg", "reload": True}


def test_second_initialisation_refused(tmp_path):
    out = run_py("""
        import ctypes, json, types
        import tavrin_minio.mimora as m
        lib = ctypes.PyDLL(m.__file__)
        init = lib.PyInit_mimora
        init.argtypes = []
        init.restype = ctypes.c_void_p
        defptr = init()
        exec_def = ctypes.pythonapi.PyModule_ExecDef
        exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
        exec_def.restype = ctypes.c_int
        result = {"defptr": bool(defptr)}
        other = types.ModuleType("mimora")
        try:
            result["other"] = ["returned", exec_def(other, ctypes.c_void_p(defptr))]
        except BaseException as e:
            result["other"] = [type(e).__name__, str(e)]
        result["other_bound"] = hasattr(other, "get_mimora")
        try:
            result["same"] = ["returned", exec_def(m, ctypes.c_void_p(defptr))]
        except BaseException as e:
            result["same"] = [type(e).__name__, str(e)]
        result["works"] = m.get_mimora("x.pdf")
        print(json.dumps(result))
    """, tmp_path)
    assert out["defptr"]
    assert out["other"] == ["RuntimeError", REINIT_MSG]
    assert out["other_bound"] is False
    assert out["same"] == ["returned", 0]
    assert out["works"] == "application/pdf"


# Loads the extension file on its own, without the package's __init__, so the
# refusal seen is the one of this module.
SUB_LOAD = """
import importlib.machinery, importlib.util
_loader = importlib.machinery.ExtensionFileLoader("tavrin_minio.mimora", {path!r})
_where = importlib.util.spec_from_file_location("tavrin_minio.mimora", {path!r}, loader=_loader)
_mod = importlib.util.module_from_spec(_where)
_loader.exec_module(_mod)
"""


@pytest.mark.parametrize("how", ["by_path", "by_import"])
@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_subinterpreter_import_refused(tmp_path, config, how):
    if sys.version_info < (3, 13):
        pytest.skip("_interpreters is a 3.13 module")
    pytest.importorskip("_interpreters")
    out = run_py(f"""
        import json, _interpreters
        import tavrin_minio.mimora as m
        if {how!r} == "by_path":
            code = {SUB_LOAD!r}.format(path=m.__file__)
        else:
            code = "import tavrin_minio.mimora"
        if {config!r} == "legacy":
            interp = _interpreters.create(_interpreters.new_config("legacy"))
        else:
            interp = _interpreters.create()
        exc = _interpreters.exec(interp, code)
        _interpreters.destroy(interp)
        print(json.dumps({{
            "exc": None if exc is None else [exc.type.__name__, exc.msg],
            "works": m.get_mimora("x.pdf"),
        }}))
    """, tmp_path)
    assert out["works"] == "application/pdf"
    assert out["exc"] is not None, "second interpreter loaded the module"
    kind, msg = out["exc"]
    assert kind == "ImportError", out
    assert msg == CHANGE_MSG


def need_run_in_subinterp():
    _testcapi = pytest.importorskip("_testcapi")
    if not hasattr(_testcapi, "run_in_subinterp"):
        pytest.skip("_testcapi.run_in_subinterp unavailable")


def test_legacy_subinterpreter_import_refused(tmp_path):
    need_run_in_subinterp()
    report = tmp_path / "sub.txt"
    body = textwrap.indent(SUB_LOAD, "    ")
    out = run_py(f"""
        import json, _testcapi
        import tavrin_minio.mimora as m
        code = ("try:\\n" + {body!r}.format(path=m.__file__) +
                "    outcome = 'loaded'\\n"
                "except BaseException as e:\\n"
                "    outcome = type(e).__name__ + ': ' + str(e)\\n"
                "open({str(report)!r}, 'w', encoding='utf-8').write(outcome)\\n")
        rc = _testcapi.run_in_subinterp(code)
        print(json.dumps({{"rc": rc, "works": m.get_mimora("x.pdf")}}))
    """, tmp_path)
    assert out == {"rc": 0, "works": "application/pdf"}
    assert report.read_text(encoding="utf-8") == "ImportError: " + CHANGE_MSG


def test_first_interpreter_keeps_the_module(tmp_path):
    # Loaded first in a legacy sub-interpreter, the module then belongs to it:
    # the main interpreter's import is the second one and is refused.
    need_run_in_subinterp()
    report = tmp_path / "sub.txt"
    body = textwrap.indent(SUB_LOAD, "    ")
    out = run_py(f"""
        import importlib.util, json, os, sys, _testcapi
        pkg_dir = importlib.util.find_spec("tavrin_minio").submodule_search_locations[0]
        path = os.path.join(pkg_dir, next(f for f in os.listdir(pkg_dir)
                                          if f.startswith("mimora.")
                                          and f.endswith((".so", ".pyd"))))
        assert "tavrin_minio.mimora" not in sys.modules
        code = ("try:\\n" + {body!r}.format(path=path) +
                "    outcome = _mod.get_mimora('x.pdf')\\n"
                "except BaseException as e:\\n"
                "    outcome = type(e).__name__ + ': ' + str(e)\\n"
                "open({str(report)!r}, 'w', encoding='utf-8').write(outcome)\\n")
        rc = _testcapi.run_in_subinterp(code)
        try:
            import tavrin_minio.mimora
            main = "loaded"
        except ImportError as e:
            main = str(e)
        print(json.dumps({{"rc": rc, "main": main}}))
    """, tmp_path)
    assert report.read_text(encoding="utf-8") == "application/pdf"
    assert out == {"rc": 0, "main": CHANGE_MSG}
