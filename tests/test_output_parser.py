import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.monitor import monitoring as m

PATTERN_NAMES = ["NAN_INF_PATTERN", "XID_PATTERN", "ECC_PATTERN", "LOSS_PATTERN", "STEP_PATTERN"]


def reference_parse(line, step_times, losses):
    """The parser written with the host's `re` over the module's own pattern objects."""
    out = []
    if m.NAN_INF_PATTERN.search(line):
        out.append(m.MonitorFinding("training_divergence", "WARN",
                                    "Detected NaN/Inf in training output", {"line": line}))
    x = m.XID_PATTERN.search(line)
    if x:
        xid = int(x.group(1))
        out.append(m.MonitorFinding("xid_critical", "CRITICAL" if xid in m.CRITICAL_XIDS else "WARN",
                                    f"Detected XID {xid} in job output", {"line": line, "xid": xid}))
    if m.ECC_PATTERN.search(line):
        out.append(m.MonitorFinding("ecc_dbe", "CRITICAL",
                                    "Detected ECC uncorrectable signal in job output", {"line": line}))
    lm = m.LOSS_PATTERN.search(line)
    if lm:
        losses.append(float(lm.group(1)))
    sm = m.STEP_PATTERN.search(line)
    if sm:
        step_times.append(float(sm.group(1)))
    return out


def test_pattern_constants_are_the_hosts_own_compiled_patterns():
    texts = {
        "NAN_INF_PATTERN": r"\b(?:nan|inf|infinity)\b",
        "XID_PATTERN": r"\bxid\s*(?:error)?\s*([0-9]+)",
        "ECC_PATTERN": r"\becc\b.*\b(dbe|double-bit|uncorrectable)\b",
        "LOSS_PATTERN": r"loss\s*[=:]\s*([0-9]+(?:\.[0-9]+)?)",
        "STEP_PATTERN": r"step[_ ]?time\s*[=:]\s*([0-9]+(?:\.[0-9]+)?)",
    }
    for name, text in texts.items():
        pattern = getattr(m, name)
        assert isinstance(pattern, re.Pattern)
        assert pattern.pattern == text
        assert pattern.flags & re.IGNORECASE


@pytest.mark.parametrize(
    "line, kinds, losses, steps",
    [
        ("step 10 loss=nan", ["training_divergence"], [], []),
        ("loss: inf", ["training_divergence"], [], []),
        ("NVRM: Xid (PCI:0000:3b:00): 79, pid=123", [], [], []),
        ("Xid: 79", [], [], []),
        ("axid 79", [], [], []),
        ("XID error 48 xiderror48", [("xid_critical", "CRITICAL")], [], []),
        ("xid error48", [("xid_critical", "CRITICAL")], [], []),
        ("xid 13", [("xid_critical", "WARN")], [], []),
        ("ECC error: double-bit", ["ecc_dbe"], [], []),
        ("double-bit ECC", [], [], []),
        ("ECC status: enabled (no DBE or SBE counts reported)", ["ecc_dbe"], [], []),
        ("information infinite inference Nanjing financial", [], [], []),
        ("inf", ["training_divergence"], [], []),
        ("Infinity", ["training_divergence"], [], []),
        ("loss=0.25 step_time=1.5", [], [0.25], [1.5]),
        ("loss=3.", [], [3.0], []),
        ("Loss = 3. step time: 0.75", [], [3.0], [0.75]),
        ("loss: 1e-3  loss=-0.5", [], [1.0], []),
        ("loss=-0.5", [], [], []),
        ("val_loss=0.3 train_loss: 2", [], [0.3], []),
        ("steptime=4 Step_Time: 1.2", [], [], [4.0]),
        ("eccentricity=0.12 steptimeout=30", [], [], []),
        ("Xid 79 on GPU 3 ecc uncorrectable loss=nan", ["training_divergence", ("xid_critical", "CRITICAL"), "ecc_dbe"], [], []),
    ],
)
def test_documented_lines(line, kinds, losses, steps):
    step_times, loss_list = [], []
    found = m._parse_output_line(line, step_times, loss_list)
    got = [f.event_type if f.event_type != "xid_critical" else (f.event_type, f.severity)
           for f in found]
    assert got == kinds
    assert loss_list == losses and step_times == steps
    assert found == reference_parse(line, [], [])


def test_xid_finding_details():
    (f,) = m._parse_output_line("Xid 079 on GPU 3", [], [])
    assert f.summary == "Detected XID 79 in job output"
    assert f.details == {"line": "Xid 079 on GPU 3", "xid": 79}
    assert type(f.details["xid"]) is int


def test_recorded_training_logs_match_the_host_reading(shared_fixtures):
    # Universal newlines, as the reader sees the job: "\r" ends a line too.
    for path in sorted((shared_fixtures / "training-logs").glob("*.log")):
        with open(path, encoding="utf-8", errors="replace", newline=None) as fh:
            for raw in fh:
                line = raw.rstrip("\n")
                got_steps, got_losses, want_steps, want_losses = [], [], [], []
                got = m._parse_output_line(line, got_steps, got_losses)
                want = reference_parse(line, want_steps, want_losses)
                assert (got, got_steps, got_losses) == (want, want_steps, want_losses), (path.name, line)


def test_recorded_lines_give_the_expected_findings(shared_fixtures):
    text = (shared_fixtures / "training-logs" / "nan-and-overflow.log").read_text()
    kinds = []
    for line in text.splitlines():
        kinds += [(f.event_type, f.severity) for f in m._parse_output_line(line, [], [])]
    assert ("xid_critical", "CRITICAL") in kinds  # Xid 31 and Xid error 79
    assert kinds.count(("ecc_dbe", "CRITICAL")) == 1  # "double-bit ECC" has the words reversed
    noise = (shared_fixtures / "training-logs" / "mixed-noise.log").read_text()
    assert not any(f.event_type == "training_divergence"
                   for line in noise.splitlines() for f in m._parse_output_line(line, [], []))


# -- differential: the native searches against the host's `re` ---------------------------

FRAGMENTS = [
    "nan", "inf", "infinity", "xid", "error", "ecc", "dbe", "double-bit", "uncorrectable",
    "loss", "step", "time", "step_time", "steptime", "step time", "val_loss", "grad_norm",
    "NaN", "INF", "Xid", "ECC", "DBE", "Loss", "Step_Time",
]
SEPARATORS = [" ", "  ", "=", ":", " = ", ": ", "_", "-", ".", ",", "(", ")", "\t", "\n", "\r",
              "\x0b", "\x1c", "\x1f", "\x85", "\xa0", "\u2003", "\u3000", "\x00", "/", "'"]
ODD_LETTERS = ["é", "ß", "ı", "İ", "\u212a", "ſ", "Ω", "ǅ", "٣", "Ⅷ", "ª", "µ", "ﬁ", "😀", "\ud800"]
DIGITS = st.text(alphabet="0123456789", min_size=1, max_size=4)


def _flip_case(s, flips):
    return "".join(c.upper() if f else c for c, f in zip(s, flips + [False] * len(s)))


@st.composite
def log_lines(draw):
    parts = draw(st.lists(st.one_of(st.sampled_from(FRAGMENTS), st.sampled_from(SEPARATORS),
                                    st.sampled_from(ODD_LETTERS), DIGITS,
                                    st.builds(lambda a, b: f"{a}.{b}", DIGITS, DIGITS),
                                    st.text(max_size=3)),
                          max_size=14))
    line = "".join(parts)
    flips = draw(st.lists(st.booleans(), max_size=len(line)))
    return _flip_case(line, flips)


def _host_groups(pattern, line):
    match = pattern.search(line)
    return None if match is None else match.groups()


@settings(max_examples=1500, deadline=None)
@given(log_lines())
def test_native_search_agrees_with_host_re(line):
    for name in PATTERN_NAMES:
        assert m._testing.native_search(name, line) == _host_groups(getattr(m, name), line), (name, line)


@settings(max_examples=300, deadline=None)
@given(log_lines())
def test_parse_agrees_with_host_reference(line):
    a_steps, a_losses, b_steps, b_losses = [], [], [], []
    assert m._parse_output_line(line, a_steps, a_losses) == reference_parse(line, b_steps, b_losses)
    assert (a_steps, a_losses) == (b_steps, b_losses)


@pytest.mark.parametrize("line", [
    "K\u212aecc dbe",  # Kelvin sign folds onto k
    "ſtep_time: 2",  # long s folds onto s
    "İnf and ınf",
    "ecc\ndbe",  # "." never crosses a newline
    "ecc x\necc dbe uncorrectable dbe",
    "ecc  DOUBLE-BIT  dbe_x dbe",
    "é nan é", "_nan", "٣nan", "nan٣", "xid\x1c48", "xid\x85error\xa048",
])
def test_native_search_agrees_on_unicode_corners(line):
    for name in PATTERN_NAMES:
        assert m._testing.native_search(name, line) == _host_groups(getattr(m, name), line), (name, line)


# -- bad input -----------------------------------------------------------------------------

@pytest.mark.parametrize("args, name", [
    ((b"loss=1", [], []), "line"),
    ((None, [], []), "line"),
    (("loss=1", (), []), "step_times"),
    (("loss=1", [], None), "losses"),
])
def test_wrong_types_are_rejected_before_any_work(args, name):
    steps, losses = args[1], args[2]
    with pytest.raises(TypeError, match=name):
        m._parse_output_line(*args)
    if isinstance(steps, list):
        assert steps == []
    if isinstance(losses, list):
        assert losses == []


def test_huge_and_odd_lines_are_handled():
    big = "ecc " * (1 << 18)  # 1 MiB; quadratic for a backtracking "ecc .* dbe"
    assert m._parse_output_line(big, [], []) == []
    assert [f.event_type for f in m._parse_output_line(big + "dbe", [], [])] == ["ecc_dbe"]
    spaces = "xid" + " " * (1 << 20) + "9"
    (f,) = m._parse_output_line(spaces, [], [])
    assert f.details["xid"] == 9
    assert m._parse_output_line("\ud800\udfff loss=\x00 nan \udc80", [], []) != []
    losses = []
    m._parse_output_line("loss=" + "9" * 400, [], losses)
    assert losses == [float("inf")]
    m._parse_output_line("loss=0." + "0" * 400 + "1", [], losses)
    assert losses[-1] == 0.0


def test_absurd_xid_keeps_its_finding():
    digits = "7" * 5000  # past the host's limit on int() of text
    (f,) = m._parse_output_line("xid " + digits, [], [])
    assert f.severity == "WARN" and f.summary == f"Detected XID {digits} in job output"
