"""Thread rules: an Index belongs to the thread that created it."""

import gc
import threading

import pytest

import vesk_core
from vesk_core import DocumentInfo, GetDocumentsOptions, Index, SerializedIndex


def run_in_thread(fn):
    """Runs fn on a new thread; returns its result or re-raises what it raised."""
    box = {}

    def target():
        try:
            box["value"] = fn()
        except BaseException as exc:  # noqa: BLE001 - PanicException included
            box["error"] = exc

    t = threading.Thread(target=target)
    t.start()
    t.join()
    if "error" in box:
        raise box["error"]
    return box.get("value")


@pytest.fixture
def owned():
    idx = Index("owned", "vesk-minilm")
    idx.add_documents([DocumentInfo("a", "alpha text")], [[1.0, 0.0]])
    return idx


CALLS = {
    "get_info": lambda i: i.get_info(),
    "add_documents": lambda i: i.add_documents([DocumentInfo("b", "t")], [[0.0, 1.0]]),
    "delete_documents": lambda i: i.delete_documents(["a"]),
    "get_documents": lambda i: i.get_documents(),
    "query": lambda i: i.query("alpha", 1, [1.0, 0.0]),
    "serialize": lambda i: i.serialize(),
    "deserialize": lambda i: i.deserialize(
        SerializedIndex("x", "1", vesk_core.ModelRef("vesk-minilm", "1"), 2, [], [])
    ),
    "doc_count": lambda i: i.doc_count,
    "clear": lambda i: i.clear(),
}


@pytest.mark.parametrize("name", list(CALLS))
def test_every_member_refuses_a_foreign_thread(owned, panic_exception, name):
    with pytest.raises(panic_exception) as e:
        run_in_thread(lambda: CALLS[name](owned))
    assert str(e.value) == "vesk_core::index::PyIndex is unsendable, but sent to another thread"
    assert not isinstance(e.value, Exception)
    # Nothing changed and the owner can still use it.
    assert owned.doc_count == 1
    assert owned.get_documents()[0].id == "a"


def test_thread_check_comes_after_binding(owned):
    with pytest.raises(TypeError, match="missing 1 required positional argument"):
        run_in_thread(lambda: owned.query("q", 1))


def test_each_thread_may_own_its_own_index():
    def work():
        idx = Index("mine", "vesk-minilm")
        idx.add_documents([DocumentInfo("a", "t")], [[1.0]])
        result = (idx.doc_count, idx.query("t", 1, [1.0]).docs[0].id)
        del idx
        return result

    results = []
    threads = [threading.Thread(target=lambda: results.append(work())) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [(1, "a")] * 4


def test_dropping_on_another_thread_is_reported_not_freed(owned):
    from test.support import catch_unraisable_exception

    holder = []
    run_in_thread(lambda: holder.append(Index("foreign", "vesk-minilm")))
    with catch_unraisable_exception() as cm:
        holder.clear()
        gc.collect()
        assert cm.unraisable is not None
        exc = cm.unraisable.exc_value
        assert type(exc) is RuntimeError
        assert str(exc).endswith(" is unsendable, but is being dropped on another thread")


def test_dropping_on_the_owner_thread_is_silent():
    from test.support import catch_unraisable_exception

    with catch_unraisable_exception() as cm:
        idx = Index("mine", "vesk-minilm")
        del idx
        gc.collect()
        assert cm.unraisable is None


def test_records_cross_threads_freely():
    opts = GetDocumentsOptions(["a"])
    assert run_in_thread(lambda: opts.doc_ids) == ["a"]
    doc = run_in_thread(lambda: DocumentInfo("x", "made elsewhere"))
    idx = Index("n", "vesk-minilm")
    idx.add_documents([doc], [[1.0]])
    assert idx.get_documents(opts) == []


def test_a_later_thread_never_inherits_ownership(panic_exception):
    # Thread identifiers are reused once a thread ends; ownership must not be.
    holder = []
    run_in_thread(lambda: holder.append(Index("orphan", "vesk-minilm")))
    idx = holder[0]
    for _ in range(20):
        with pytest.raises(panic_exception):
            run_in_thread(lambda: idx.doc_count)
    holder.clear()
    from test.support import catch_unraisable_exception

    with catch_unraisable_exception():
        del idx
        gc.collect()
