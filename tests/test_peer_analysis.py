import json
import math
import statistics

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.monitor import monitoring as m
from hook_reference import Reference

CONFIG = {"monitor": {}}


def native(payloads, nows, config=CONFIG, state=None):
    return [(f.event_type, f.summary, f.details)
            for f in m._testing.hook_replay(payloads, config, nows, state)]


def reference(payloads, nows, sigma=2.0, straggler=0.1, state=None):
    ref = Reference(sigma, straggler)
    out = []
    for p, now in zip(payloads, nows):
        out += ref.add(p, now, state)
    return out


def same(a, b):
    return repr(a) == repr(b)  # NaN-safe, and exact about floats and their signs


# -- the documented examples -------------------------------------------------------------

def test_statistics_helpers():
    assert m._median([3, 1, 2]) == 2 and type(m._median([3, 1, 2])) is int
    assert m._median([4, 1, 3, 2]) == 2.5 and m._median([5]) == 5
    with pytest.raises(TypeError):
        m._median((1, 2))
    assert m._stdev([1, 2, 3, 4], 2.5) == statistics.pstdev([1, 2, 3, 4]) and m._stdev([7], 0.0) == 0.0
    with pytest.raises(OverflowError):  # as the host's float ** 2 does
        m._stdev([1e200, 0.0], 0.0)


@pytest.mark.parametrize("value, default, expected", [
    ("7", 0, 7), (3.9, 0, 3), (True, 0, 1), ("3.5", 0, 0), (None, 0, 0), ([], 0, 0),
    (float("inf"), 0, 0), (float("nan"), 5, 5),
])
def test_coerce_int(value, default, expected):
    assert m._coerce_hook_int(value, default) == expected


def test_coerce_float():
    assert m._coerce_hook_float("1e3") == 1000.0
    assert m._coerce_hook_float("fast") is None and m._coerce_hook_float(None) is None
    assert math.isnan(m._coerce_hook_float("nan")) and m._coerce_hook_float("inf") == math.inf
    assert m._coerce_hook_float(10 ** 400, 1) == 1.0  # overflow falls back to the default
    with pytest.raises(TypeError):
        m._coerce_hook_float("1", "x")
    with pytest.raises(TypeError):
        m._coerce_hook_int("1", 1.5)


def _grads(values, t=1000.0):
    return [{"rank": r, "gradient_norm": g, "timestamp": t} for r, g in enumerate(values)]


def test_divergence_examples():
    got = native(_grads([1.0, 1.0, 1.0, 1.0, 10.0]), [1000.0] * 5)
    assert len(got) == 1
    kind, summary, details = got[0]
    assert summary == "Rank 4 gradient norm diverged from peers"
    assert details == {"rank": 4, "gradient_norm": 10.0, "median_gradient_norm": 1.0,
                       "z_score": 2.24, "ratio_trigger": False, "peer_ranks": [0, 1, 2, 3, 4]}
    assert native(_grads([1.0, 1.0, 1.0, 10.0]), [1000.0] * 4) == []  # z exactly 2.0
    two = native(_grads([1.0, 5.0]), [1000.0, 1000.0])
    assert [d["ratio_trigger"] for _, _, d in two] == [True]  # rank 1 when it reports
    both = native(_grads([1.0, 5.0]) + [{"rank": 0, "gradient_norm": 1.0, "timestamp": 1001.0}],
                  [1000.0, 1000.0, 1001.0])
    assert [d["rank"] for _, _, d in both] == [1, 0]
    assert native(_grads([0.0, 5.0]), [1000.0] * 2) == []
    assert native(_grads([3.0] * 6), [1000.0] * 6) == []
    assert native(_grads([0.0] * 6), [1000.0] * 6) == []


@pytest.mark.parametrize("norms", [
    [1.0, 1.0, 1.0, 1.0, 1.0, 1.02],        # the multi-rank example: 1.02 against 1.0
    [1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 0.97],
    [1.0, 1.01, 1.02, 1.0, 1.01, 1.02, 1.0, 1.01, 1.04],
    [100.0] * 9 + [104.0],
])
def test_ranks_that_agree_closely_are_not_reported(norms):
    # Healthy ranks differ by a few percent: the spread is never taken below 5 % of the
    # median, so a close agreement doesn't make a 2 % difference look like divergence.
    for order in (norms, norms[::-1]):
        assert native(_grads(order), [1000.0] * len(order)) == []


@pytest.mark.parametrize("nranks, fires", [(3, False), (4, False), (5, True), (6, True), (9, True)])
def test_single_outlier_needs_five_ranks(nranks, fires):
    # One outlier among equal peers scores exactly sqrt(n): above 2.0 from five ranks on.
    got = native(_grads([1.0] * (nranks - 1) + [10.0]), [1000.0] * nranks)
    assert [d["z_score"] for _, _, d in got] == ([round(math.sqrt(nranks), 2)] if fires else [])


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf"), "nan", "-Infinity"])
def test_non_finite_gradient_norm_is_divergence_at_once(bad):
    peers = _grads([1.0, 1.2, 1.1])
    got = native(peers + [{"rank": 3, "gradient_norm": bad, "timestamp": 1000.0}], [1000.0] * 4)
    assert len(got) == 1
    kind, summary, details = got[0]
    assert (kind, summary) == ("rank_divergence", "Rank 3 gradient norm diverged from peers")
    assert repr(details) == repr({
        "rank": 3, "gradient_norm": float(bad), "median_gradient_norm": 1.1, "z_score": None,
        "ratio_trigger": False, "peer_ranks": [0, 1, 2, 3], "non_finite": True})
    # Alone, and again only after the cooldown.
    alone = [{"rank": 0, "gradient_norm": bad, "timestamp": t} for t in (1.0, 20.0, 31.0)]
    got = native(alone, [1.0, 20.0, 31.0])
    assert [(d["median_gradient_norm"], d["peer_ranks"]) for _, _, d in got] == [(None, [0])] * 2


def test_non_finite_rank_leaves_the_others_comparable():
    # While rank 5 reports NaN, rank 4's outlier is still judged among the finite norms.
    reports = _grads([1.0, 1.0, 1.0, 1.0, 1.0, float("nan"), 1.0])
    reports[4]["gradient_norm"] = 10.0
    got = native(reports, [1000.0] * 7)
    assert [(d["rank"], d.get("non_finite"), d["z_score"]) for _, _, d in got] == [
        (4, None, 2.24), (5, True, None)]
    lines = [json.dumps(p) for p in reports]  # NaN as the reporter writes it
    assert [f.details["rank"] for f in m._testing.hook_replay_lines(lines, CONFIG, 1000.0)] == [4, 5]


def test_cooldown_and_freshness():
    reports = _grads([1.0, 1.0, 1.0, 1.0, 10.0])
    again = {"rank": 4, "gradient_norm": 10.0, "timestamp": 1010.0}
    later = {"rank": 4, "gradient_norm": 10.0, "timestamp": 1031.0}
    got = native(reports + [again, later], [1000.0] * 5 + [1010.0, 1031.0])
    # Within 30 s no new finding; at 1031 the others' reports are 31 s old: no peers.
    assert len(got) == 1
    edge = [{"rank": 0, "step_time": 1.0, "timestamp": 1000.0},
            {"rank": 1, "step_time": 1.0, "timestamp": 1000.0},
            {"rank": 2, "step_time": 1.2, "timestamp": 1015.0}]
    (hit,) = native(edge, [1015.0] * 3)  # exactly 15 s apart is still fresh
    assert hit[2]["slowdown_pct"] == 20.0 and hit[2]["peer_ranks"] == [0, 1, 2]
    edge[2]["timestamp"] = 1015.5
    assert native(edge, [1016.0] * 3) == []


def test_phase_limits():
    long_name = "p" * 129
    phases = {f"phase{i}": 1.0 for i in range(40)}
    fast = [{"rank": r, "timestamp": 1.0, "phase_times": dict(phases, **{long_name: 1.0})}
            for r in range(3)]
    slow = dict(phases)
    slow["phase0"] = slow["phase31"] = slow["phase32"] = 5.0
    slow[long_name] = 9.0
    got = native(fast + [{"rank": 3, "timestamp": 1.0, "phase_times": slow}], [1.0] * 4)
    assert [d["phase"] for _, _, d in got] == ["phase0", "phase31"]  # 33rd entry ignored
    ok = "q" * 128
    got = native([{"rank": r, "timestamp": 1.0, "phase_times": {ok: 1.0 + 4 * (r == 2)}}
                  for r in range(3)], [1.0] * 3)
    assert [d["phase"] for _, _, d in got] == [ok]


def test_single_rank_never_triggers():
    assert native([{"rank": 0, "gradient_norm": 1e9, "step_time": 100.0, "timestamp": 1.0,
                    "phase_times": {"x": 10.0}}] * 3, [1.0] * 3) == []


# -- differential: the native analysis against the plain definitions ---------------------

VALUES = st.sampled_from([1.0, 1.0, 1.0, 1.1, 1.2, 2.0, 5.0, 10.0, 0.0, -0.0, 1e-12, 3,
                          "1.5", None, "x", [1], float("nan"), float("inf"), -2.0, 1e300])


@st.composite
def report_streams(draw):
    nranks = draw(st.integers(1, 12))
    count = draw(st.integers(1, 60))
    t = 1000.0
    payloads, nows = [], []
    for _ in range(count):
        t += draw(st.sampled_from([0.0, 0.1, 0.5, 1.0, 3.0, 16.0, -2.0, -20.0]))
        p = {"rank": draw(st.integers(0, nranks - 1))}
        ts_kind = draw(st.sampled_from(["t", "t", "t", "jitter", "none", "nan", "text"]))
        if ts_kind == "t":
            p["timestamp"] = t
        elif ts_kind == "jitter":
            p["timestamp"] = t + draw(st.sampled_from([-15.0, 15.0, -14.9, 30.0, -40.0]))
        elif ts_kind == "nan":
            p["timestamp"] = float("nan")
        elif ts_kind == "text":
            p["timestamp"] = str(t)
        for key in ("gradient_norm", "step_time"):
            if draw(st.booleans()):
                p[key] = draw(VALUES)
        if draw(st.booleans()):
            names = draw(st.lists(st.sampled_from(["fwd", "bwd", "comm", "p" * 129]), max_size=4))
            p["phase_times"] = {n: draw(VALUES) for n in names}
        if draw(st.integers(0, 9)) == 0:
            p["phase_times"] = draw(st.sampled_from([[1, 2], "x", 5]))
        payloads.append(p)
        nows.append(t + draw(st.sampled_from([0.0, 0.0, 31.0])))
    return payloads, nows, draw(st.sampled_from([(2.0, 0.1), (1.0, 0.0), (0.5, 0.5)]))


@settings(max_examples=400, deadline=None)
@given(report_streams())
def test_native_analysis_matches_the_definitions(stream):
    payloads, nows, (sigma, straggler) = stream
    config = {"monitor": {"rank_divergence_threshold": sigma,
                          "rank_straggler_threshold": straggler}}
    state_a, state_b = {"phase": None, "step": None}, {"phase": None, "step": None}
    got = native([dict(p) for p in payloads], nows, config, state_a)
    want = reference(payloads, nows, sigma, straggler, state_b)
    assert same(got, want)
    assert state_a == state_b


@pytest.mark.parametrize("nranks, seed, spread", [
    (50, 1, 0.01), (257, 2, 0.01), (400, 3, 0.01), (1000, 4, 0.01),
    # A spread around the 5 % floor: the decision from the running sums is close to call.
    (300, 5, 0.17), (600, 6, 0.2),
])
def test_many_ranks_take_the_incremental_path_and_agree(nranks, seed, spread):
    import random

    rnd = random.Random(seed)
    payloads, nows = [], []
    t = 5000.0
    for round_ in range(4):
        for r in range(nranks):
            t += 0.001
            g = 1.0 + rnd.random() * spread + (50.0 if rnd.random() < 0.01 else 0.0)
            if r == 11 and round_ == 1:
                g = float("nan")
            s = 1.0 + rnd.random() * 0.05 + (0.5 if r == 7 else 0.0)
            payloads.append({"rank": r, "timestamp": t, "gradient_norm": g, "step_time": s,
                             "phase_times": {"forward-compute": s / 2, "grad-all-reduce": 0.1}})
            nows.append(t)
        if round_ == 2:
            t += 16.0  # the next round finds the earlier reports stale
    assert same(native(payloads, nows), reference(payloads, nows))


# -- the native line reader against the host's json.loads ---------------------------------

SCALARS = st.one_of(
    st.sampled_from([0, -0, 1, 2, 7, 10 ** 30, -3, 1.0, -0.0, 0.5, 1.2, 1e-7, 1e300, True, False,
                     None, "1.5", "7", "x", "", "é", [1], {"a": 1}]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-2 ** 70, 2 ** 70))
KEYS = st.sampled_from(["rank", "timestamp", "phase", "step", "gradient_norm", "step_time",
                        "phase_times", "other", "rank"])
PHASE_TIMES = st.one_of(
    st.dictionaries(st.sampled_from(["fwd", "bwd", "é", "a\\\\b", "p" * 129]), SCALARS, max_size=4),
    SCALARS)


@st.composite
def hook_lines(draw):
    fields = draw(st.lists(st.tuples(KEYS, st.one_of(SCALARS, PHASE_TIMES)), max_size=7))
    body = ", ".join(f"{json.dumps(k)}: {json.dumps(v)}" for k, v in fields)
    line = "{" + body + "}"
    return draw(st.sampled_from([line, " " + line + "\t", "\x0c" + line, line + "x", line[:-1],
                                 "[" + line + "]", line.replace(": ", ":"), "", "  "]))


@settings(max_examples=800, deadline=None)
@given(st.lists(hook_lines(), min_size=1, max_size=12))
def test_native_line_reading_matches_the_host_decoder(lines):
    results = []
    for host_only in (False, True):
        state = {"phase": None, "step": None}
        found = m._testing.hook_replay_lines(lines, CONFIG, 5000.0, state, host_only)
        results.append((repr(found), repr(state)))
    assert results[0] == results[1]


def test_a_ranks_findings_are_filed_under_the_node_it_runs_on(monkeypatch):
    monkeypatch.setattr(m, "host_snapshot", lambda: {"hostname": "n1", "disk_free_gb": 9})
    def findings(node):  # rank 4, on `node`, diverges
        lines = [json.dumps({"rank": r, "node": node if r == 4 else "n1",
                             "gradient_norm": 10.0 if r == 4 else 1.0}) for r in range(5)]
        return [(f.details["rank"], f.node_id) for f in
                m._testing.hook_replay_lines(lines, CONFIG, 1000.0)]

    assert findings("n2") == [(4, "n2")]
    assert findings("n1") == [(4, None)]  # the monitor's own node
