import threading

import pytest

from corvane.monitor import monitoring as m


def test_finding_record_behaves_like_a_plain_record():
    a = m.MonitorFinding("output_stall", "WARN", "quiet")
    b = m.MonitorFinding(event_type="output_stall", severity="WARN", summary="quiet")
    assert a == b and a.details == {} and a.details is not b.details
    a.details["k"] = 1
    assert b.details == {} and a != b
    assert m.MonitorFinding("x", "INFO", "s", None).details is None  # an explicit value is kept
    a.severity = "CRITICAL"
    assert a.severity == "CRITICAL"
    assert repr(b) == ("MonitorFinding(event_type='output_stall', severity='WARN', summary='quiet', "
                       "details={}, node_id=None)")
    assert (a == "x") is False
    for other in (None, 0, object(), ("output_stall", "WARN", "quiet", {})):
        assert (b == other) is False and (b != other) is True
    assert None not in [a, b] and b in [None, a, b]
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(TypeError):
        m.MonitorFinding("only-two", "WARN")
    match b:
        case m.MonitorFinding(event_type, severity, summary, details):
            assert (event_type, severity, summary, details) == ("output_stall", "WARN", "quiet", {})


def test_finding_cycles_are_collected():
    import gc
    import weakref

    class Marker:
        pass

    f = m.MonitorFinding("a", "b", "c")
    marker = Marker()
    f.details["self"] = f
    f.details["marker"] = marker
    ref = weakref.ref(marker)
    del f, marker
    gc.collect()
    assert ref() is None


def test_append_finding_appends_duplicates_and_releases_the_lock():
    findings, lock = [], threading.Lock()
    f = m.MonitorFinding("filesystem_lost", "CRITICAL", "disk")
    m._append_finding(findings, lock, f)
    m._append_finding(findings, lock, f)
    assert findings == [f, f] and not lock.locked()

    class Broken(list):
        def append(self, item):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError):
        m._append_finding(Broken(), lock, f)  # a list subclass's own append is honoured
    assert not lock.locked()


def test_append_finding_from_many_threads():
    findings, lock = [], threading.Lock()
    f = m.MonitorFinding("x", "INFO", "s")

    def worker():
        for _ in range(2000):
            m._append_finding(findings, lock, f)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(findings) == 8000


def test_xid_tables():
    assert m.CRITICAL_XIDS == {31, 43, 48, 63, 64, 74, 79, 94, 95, 119, 120}
    assert m._xid_description(63) == m._xid_description(64) == "MMU fault"
    assert m._xid_description(79) == "GPU fell off the bus"
    assert m._xid_description(120) == "C2C or memory fabric fault"
    assert m._xid_description(13) == "GPU fault"
    assert m._xid_description(10**30) == "GPU fault"
    assert m._xid_description("48") == "DBE ECC error"  # converted as int() would
    assert m._xid_description(True) == "GPU fault"
    for bad in (None, "x", [79]):
        with pytest.raises(TypeError):
            m._xid_description(bad)
