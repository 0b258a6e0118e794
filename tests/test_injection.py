import json

import pytest

from corvane.injection import InjectionEngine, engine
from corvane.injection.engine import InjectionRuleError


def _snaps():
    return [{"index": i, "pci_bus_id": f"00000000:{i:02X}:00.0", "temperature_c": 40.0,
             "ecc_uncorrected": 0, "nvlink_errors": {}} for i in range(3)]


def test_no_rules_returns_the_list_unchanged(monkeypatch):
    monkeypatch.delenv("CORVANE_INJECT_RULES", raising=False)
    snaps = _snaps()
    assert engine.intercept_gpu_snapshots(snaps) is snaps


def test_rules_from_file(monkeypatch, tmp_path):
    rules = tmp_path / "rules.json"
    rules.write_text(json.dumps({"rules": [
        {"gpu": 0, "set": {"temperature_c": 97}},
        {"gpu": 1, "lost": True},
        {"gpu": 2, "remove": True, "after_polls": 1},
        {"gpu": "*", "add": {"ecc_uncorrected": 2}},
    ]}))
    monkeypatch.setenv("CORVANE_INJECT_RULES", str(rules))
    eng = InjectionEngine()
    original = _snaps()
    first = eng.intercept_gpu_snapshots(original)
    assert original == _snaps()  # the caller's snapshots are not modified
    assert first[0]["temperature_c"] == 97 and first[0]["ecc_uncorrected"] == 2
    assert first[1] == {"index": 1, "pci_bus_id": "00000000:01:00.0", "nvlink_errors": {},
                        "gpu_lost": True}
    assert len(first) == 3
    second = eng.intercept_gpu_snapshots(_snaps())
    assert [s["index"] for s in second] == [0, 1]  # GPU 2 vanishes after the first poll
    assert second[0]["ecc_uncorrected"] == 4  # counters keep rising


@pytest.mark.parametrize("rules", [{"rules": 3}, [1], [{"gpu": "0"}], [{"set": []}],
                                   [{"add": {"x": "1"}}]])
def test_bad_rules_are_clear_errors(rules):
    with pytest.raises(InjectionRuleError):
        InjectionEngine(rules)


def test_unreadable_rules_file(monkeypatch, tmp_path):
    monkeypatch.setenv("CORVANE_INJECT_RULES", str(tmp_path / "missing.json"))
    with pytest.raises(InjectionRuleError, match="missing.json"):
        InjectionEngine().intercept_gpu_snapshots(_snaps())
    bad = tmp_path / "bad.json"
    bad.write_text("{nope")
    monkeypatch.setenv("CORVANE_INJECT_RULES", str(bad))
    with pytest.raises(InjectionRuleError, match="bad.json"):
        InjectionEngine().intercept_gpu_snapshots(_snaps())
