import copy
import fractions
import pickle

import pytest

from corvane.trust import baselines as b

# Every row as written: name, fragments, NVLink, links, NCCL, gen, width, FP16, reference,
# memory, ECC, NVLink flag, TDP, matmul, vendor.
ROWS = [
    ("B200 SXM", ("nvidia b200", "b200"), 900, 18, 800, 5, 16, 2250, 650, 8000, True, True, 1000, 24576, "nvidia"),
    ("B100 SXM", ("nvidia b100", "b100"), 900, 18, 800, 5, 16, 1750, 520, 8000, True, True, 700, 24576, "nvidia"),
    ("H200 SXM", ("h200 sxm", "nvidia h200"), 450, 18, 400, 5, 16, 990, 520, 4800, True, True, 700, 16384, "nvidia"),
    ("H100 SXM", ("h100 sxm", "h100-nvl", "nvidia h100 sxm", "h100 80gb hbm3"), 450, 18, 400, 5, 16, 990, 480, 3350, True, True, 700, 16384, "nvidia"),
    ("H100 PCIe", ("nvidia h100 pcie", "h100 pcie", "nvidia h100 nvl", "h100"), None, 0, 80, 5, 16, 756, 420, 2000, True, False, 350, 16384, "nvidia"),
    ("A100 SXM 80GB", ("a100-sxm4-80gb", "a100 sxm 80gb", "a100-sxm-80gb"), 300, 12, 250, 4, 16, 312, 120, 2039, True, True, 400, 12288, "nvidia"),
    ("A100 SXM 40GB", ("a100-sxm4-40gb", "a100 sxm 40gb", "a100-sxm-40gb"), 300, 12, 250, 4, 16, 312, 110, 1555, True, True, 400, 12288, "nvidia"),
    ("A100 PCIe 80GB", ("a100 80gb pcie", "a100-pcie-80gb"), None, 0, 60, 4, 16, 312, 95, 2039, True, False, 300, 12288, "nvidia"),
    ("A100 PCIe 40GB", ("a100 40gb pcie", "a100-pcie-40gb", "nvidia a100"), None, 0, 60, 4, 16, 312, 85, 1555, True, False, 300, 8192, "nvidia"),
    ("L40S", ("l40s", "nvidia l40s"), None, 0, 40, 4, 16, 362.05, 100, 864, True, False, 350, 8192, "nvidia"),
    ("L40", ("l40", "nvidia l40"), None, 0, 40, 4, 16, 181, 55, 864, True, False, 300, 8192, "nvidia"),
    ("A10", ("nvidia a10", "a10"), None, 0, 20, 4, 16, 125, 28, 600, True, False, 150, 4096, "nvidia"),
    ("RTX 5090", ("rtx 5090", "geforce rtx 5090"), None, 0, 50, 5, 16, 419, 125, 896, False, False, 575, 12288, "nvidia"),
    ("RTX 4090", ("rtx 4090", "geforce rtx 4090"), None, 0, 40, 4, 16, 330, 110, 1008, False, False, 450, 12288, "nvidia"),
    ("RTX 3090", ("rtx 3090", "geforce rtx 3090"), None, 0, 20, 4, 16, 142, 38, 936, False, False, 350, 8192, "nvidia"),
    ("RTX 3080", ("rtx 3080", "geforce rtx 3080"), None, 0, 15, 4, 16, 119, 32, 760, False, False, 320, 8192, "nvidia"),
    ("RTX 4070 Ti SUPER", ("rtx 4070 ti super", "geforce rtx 4070 ti super"), None, 0, 35, 4, 16, 176, 70, 672, False, False, 285, 8192, "nvidia"),
    ("RTX 4060", ("rtx 4060", "geforce rtx 4060"), None, 0, 15, 4, 8, 30, 12, 272, False, False, 115, 4096, "nvidia"),
    ("RTX 3070", ("rtx 3070", "geforce rtx 3070"), None, 0, 15, 4, 16, 81, 32, 448, False, False, 220, 8192, "nvidia"),
    ("RTX 2000 Ada", ("rtx 2000 ada", "nvidia rtx 2000 ada generation"), None, 0, 10, 4, 8, 96, 12, 224, True, False, 70, 4096, "nvidia"),
    ("MI300X", ("mi300x", "instinct mi300x", "amd instinct mi300"), None, 0, 350, 5, 16, 1300, 163, 5300, True, False, 750, 16384, "amd"),
    ("MI250X", ("mi250x", "instinct mi250x", "amd instinct mi250"), None, 0, 200, 4, 16, 383, 47.9, 3277, True, False, 560, 16384, "amd"),
    ("MI210", ("mi210", "instinct mi210"), None, 0, 100, 4, 16, 181, 22.6, 1638, True, False, 300, 8192, "amd"),
    ("generic", (), None, 0, 10, 3, 16, 50, 12, 500, None, None, 250, 4096, "generic"),
]


def _expected(row):
    name, subs, nvl, links, nccl, gen, width, fp16, ref, mem, ecc, has_nvl, tdp, mm, vendor = row
    r = lambda v, k: None if v is None else round(v * k, 2)  # noqa: E731
    return {
        "name": name, "match_substrings": subs,
        "nvlink_expected_bw_gbps": None if nvl is None else float(nvl),
        "nvlink_warn_bw_gbps": r(nvl, 0.7), "nvlink_fail_bw_gbps": r(nvl, 0.5),
        "nvlink_link_count": links, "nccl_expected_busbw_gbps": float(nccl),
        "nccl_warn_busbw_gbps": round(0.65 * nccl, 2), "nccl_fail_busbw_gbps": round(0.4 * nccl, 2),
        "pcie_expected_gen": gen, "pcie_expected_width": width,
        "fp16_tflops_expected": float(fp16), "reference_tflops_expected": float(ref),
        "reference_tflops_warn": round(0.8 * ref, 2), "reference_tflops_fail": round(0.6 * ref, 2),
        "memory_bw_expected_gbps": float(mem), "has_ecc": ecc, "has_nvlink": has_nvl,
        "tdp_watts": float(tdp), "matmul_size": mm, "vendor": vendor,
    }


@pytest.mark.parametrize("index", range(len(ROWS)), ids=[r[0] for r in ROWS])
def test_every_profile_field_by_field(index):
    got = b.BASELINES[index].to_dict()
    want = _expected(ROWS[index])
    assert list(got) == list(want)
    for key, value in want.items():
        assert got[key] == value and type(got[key]) is type(value), key


def test_stated_thresholds():
    h100 = b.detect_gpu_profile("H100 SXM")
    assert (h100.nvlink_warn_bw_gbps, h100.nvlink_fail_bw_gbps) == (315.0, 225.0)
    assert (h100.nccl_warn_busbw_gbps, h100.nccl_fail_busbw_gbps) == (260.0, 160.0)
    assert (h100.reference_tflops_warn, h100.reference_tflops_fail) == (384.0, 288.0)
    generic = b.BASELINES[-1]
    assert generic.nvlink_warn_bw_gbps is None and generic.nvlink_fail_bw_gbps is None
    assert (generic.nccl_warn_busbw_gbps, generic.nccl_fail_busbw_gbps) == (6.5, 4.0)
    assert (generic.reference_tflops_warn, generic.reference_tflops_fail) == (9.6, 7.2)
    derived = {"name", "match_substrings"} | {k for k in h100.to_dict() if "_warn" in k or "_fail" in k}
    for row in b.BASELINES:  # every row is its figures with the default ratios
        assert b._profile(row.name, row.match_substrings, **{
            k: v for k, v in row.to_dict().items() if k not in derived}) == row


@pytest.mark.parametrize("value, k", [(450.0, 0.7), (0.125, 1.0), (0.375, 1.0), (2.675, 1.0),
                                      (1.005, 1.0), (362.05, 0.65), (47.9, 0.8), (-0.001, 1.0),
                                      (1e300, 0.5), (123456789.125, 1.0)])
def test_ratio_rounds_like_the_host(value, k):
    got = b._ratio(value, k)
    assert got == round(value * k, 2) and type(got) is float
    assert str(got) == str(round(value * k, 2))  # the sign of zero too
    assert b._ratio(None, 0.7) is None


@pytest.mark.parametrize("name, profile", [
    ("NVIDIA H100 80GB HBM3", "H100 SXM"), ("NVIDIA H100 PCIe", "H100 PCIe"),
    ("NVIDIA H100 NVL", "H100 PCIe"), ("NVIDIA H200", "H200 SXM"), ("NVIDIA H200 NVL", "H200 SXM"),
    ("NVIDIA B200", "B200 SXM"), ("NVIDIA GH200 480GB", "generic"),
    ("NVIDIA A100-SXM4-80GB", "A100 SXM 80GB"), ("NVIDIA A100-SXM4-40GB", "A100 SXM 40GB"),
    ("NVIDIA A100 80GB PCIe", "A100 PCIe 80GB"), ("NVIDIA A100-PCIE-40GB", "A100 PCIe 40GB"),
    ("NVIDIA L40S", "L40S"), ("NVIDIA L40", "L40"), ("NVIDIA A10", "A10"), ("NVIDIA A10G", "A10"),
    ("NVIDIA A40", "generic"), ("NVIDIA GeForce RTX 5090", "RTX 5090"),
    ("  NVIDIA GeForce RTX 4090  ", "RTX 4090"), ("NVIDIA GeForce RTX 4070 Ti SUPER", "RTX 4070 Ti SUPER"),
    ("NVIDIA RTX 2000 Ada Generation", "RTX 2000 Ada"), ("NVIDIA RTX A6000", "generic"),
    ("Tesla T4", "generic"), ("Tesla V100-SXM2-32GB", "generic"),
    ("AMD Instinct MI300X", "MI300X"), ("AMD Instinct MI250", "MI250X"), ("AMD Instinct MI210", "MI210"),
    ("H100 SXM", "H100 SXM"), ("H100 PCIE", "H100 PCIe"),
    # Marketplace short names for the A100 match no A100 fragment, so the table order
    # hands them to "A10" through its bare "a10".
    ("A100 SXM4", "A10"),
    ("A100 PCIE", "A10"), ("RTX 4090", "RTX 4090"), ("GH200", "generic"),
    (None, "generic"), ("", "generic"), (" \t\u3000", "generic"),
])
def test_lookup_of_reported_names(name, profile):
    assert b.detect_gpu_profile(name).name == profile
    assert b._find_base_profile(name) is b.detect_gpu_profile(name)


# Each recorded name and the profile the table's order gives it. The marketplace's short
# "A100 SXM4"/"A100 PCIE" reach "A10" through its bare "a10" fragment, as the table says.
RECORDED_NAME_PROFILES = {
    'NVIDIA H100 80GB HBM3': 'H100 SXM',
    'NVIDIA H100 PCIe': 'H100 PCIe',
    'NVIDIA H100 NVL': 'H100 PCIe',
    'NVIDIA H200': 'H200 SXM',
    'NVIDIA H200 NVL': 'H200 SXM',
    'NVIDIA B200': 'B200 SXM',
    'NVIDIA GH200 480GB': 'generic',
    'NVIDIA A100-SXM4-80GB': 'A100 SXM 80GB',
    'NVIDIA A100-SXM4-40GB': 'A100 SXM 40GB',
    'NVIDIA A100 80GB PCIe': 'A100 PCIe 80GB',
    'NVIDIA A100-PCIE-40GB': 'A100 PCIe 40GB',
    'NVIDIA L40S': 'L40S',
    'NVIDIA L40': 'L40',
    'NVIDIA A10': 'A10',
    'NVIDIA A10G': 'A10',
    'NVIDIA A40': 'generic',
    'NVIDIA GeForce RTX 5090': 'RTX 5090',
    'NVIDIA GeForce RTX 4090': 'RTX 4090',
    'NVIDIA GeForce RTX 3090': 'RTX 3090',
    'NVIDIA GeForce RTX 3080': 'RTX 3080',
    'NVIDIA GeForce RTX 4070 Ti SUPER': 'RTX 4070 Ti SUPER',
    'NVIDIA GeForce RTX 4060': 'RTX 4060',
    'NVIDIA GeForce RTX 3070': 'RTX 3070',
    'NVIDIA RTX 2000 Ada Generation': 'RTX 2000 Ada',
    'NVIDIA RTX A6000': 'generic',
    'NVIDIA RTX A5000': 'generic',
    'NVIDIA RTX 6000 Ada Generation': 'generic',
    'Tesla T4': 'generic',
    'Tesla V100-SXM2-32GB': 'generic',
    'AMD Instinct MI300X': 'MI300X',
    'AMD Instinct MI250X': 'MI250X',
    'AMD Instinct MI250': 'MI250X',
    'AMD Instinct MI210': 'MI210',
    'H100 SXM': 'H100 SXM',
    'H100 PCIE': 'H100 PCIe',
    'A100 SXM4': 'A10',
    'A100 PCIE': 'A10',
    'RTX 4090': 'RTX 4090',
    'RTX A6000': 'generic',
    'GH200': 'generic',
}


def test_recorded_names_resolve_to_their_profiles(shared_fixtures):
    names = [line.split("\t")[0] for line in
             (shared_fixtures / "gpu-names" / "names.tsv").read_text().splitlines()
             if line and not line.startswith("#")]
    assert sorted(names) == sorted(RECORDED_NAME_PROFILES)
    for name in names:
        assert b.detect_gpu_profile(name).name == RECORDED_NAME_PROFILES[name], name


def test_profile_record_is_frozen_and_hashable():
    p = b.detect_gpu_profile("NVIDIA L40S")
    assert p == b.detect_gpu_profile("l40s") and hash(p) == hash(b.detect_gpu_profile("l40s"))
    with pytest.raises(AttributeError):
        p.tdp_watts = 1.0
    with pytest.raises(AttributeError):
        p.extra = 1
    args = list(p.to_dict().values())
    assert b.GPUProfile(*args) == p
    assert b.GPUProfile(**p.to_dict()) == p
    assert b.GPUProfile(*args[:-1]).vendor == "nvidia"
    with pytest.raises(TypeError):
        b.GPUProfile(*args[:5])
    with pytest.raises(TypeError):
        b.GPUProfile(*args, bogus=1)
    assert repr(p).startswith("GPUProfile(name='L40S', match_substrings=('l40s', 'nvidia l40s'),")
    assert pickle.loads(pickle.dumps(p)) == p
    assert copy.replace(p, tdp_watts=1.0).tdp_watts == 1.0 if hasattr(copy, "replace") else True
    assert len({p, b.detect_gpu_profile("NVIDIA L40S")}) == 1


# -- overrides ------------------------------------------------------------------------------

H100_RAW = "NVIDIA H100 80GB HBM3"


@pytest.mark.parametrize("config", [None, {}, {"cluster": {}}, {"cluster": {"baselines": []}},
                                    {"cluster": {"baselines": {"a100": {"tdp_watts": 1.0}}}},
                                    {"cluster": "not a map"}])
def test_no_matching_override_returns_the_same_object(config):
    base = b.detect_gpu_profile(H100_RAW)
    assert b.apply_profile_overrides(base, H100_RAW, config) is base
    assert b.detect_gpu_profile(H100_RAW, config) is base


def test_override_by_profile_name_substring_and_order():
    cfg = {"cluster": {"baselines": {
        "unrelated": 5,  # not a map: skipped
        "hbm3": {"tdp_watts": 650.0},
        "H100 SXM ": {"tdp_watts": 600.0},
    }}}
    # Entries are tried in order; the substring entry comes first here.
    assert b.detect_gpu_profile(H100_RAW, cfg).tdp_watts == 650.0
    cfg["cluster"]["baselines"] = {" H100 SXM ": {"tdp_watts": 600.0}, "hbm3": {"tdp_watts": 1.0}}
    p = b.detect_gpu_profile(H100_RAW, cfg)
    base = b.detect_gpu_profile(H100_RAW)
    assert p.tdp_watts == 600.0
    assert {k: v for k, v in p.to_dict().items() if k != "tdp_watts"} == \
        {k: v for k, v in base.to_dict().items() if k != "tdp_watts"}
    assert b._matching_override(H100_RAW, "H100 SXM", cfg) == {"tdp_watts": 600.0}


def test_empty_key_matches_only_an_empty_name():
    cfg = {"cluster": {"baselines": {"": {"tdp_watts": 1.0}}}}
    assert b.detect_gpu_profile(H100_RAW, cfg).tdp_watts == 700.0
    assert b.detect_gpu_profile("", cfg).tdp_watts == 1.0


def test_disallowed_fields_ignored_and_thresholds_not_recomputed():
    cfg = {"cluster": {"baselines": {"h100 sxm": {
        "name": "X", "vendor": "amd", "match_substrings": ("x",), "has_ecc": False,
        "nvlink_expected_bw_gbps": 900.0}}}}
    p = b.detect_gpu_profile(H100_RAW, cfg)
    assert (p.name, p.vendor, p.has_ecc) == ("H100 SXM", "nvidia", False)
    assert p.nvlink_expected_bw_gbps == 900.0 and p.nvlink_warn_bw_gbps == 315.0


@pytest.mark.parametrize("field, value, error", [
    ("reference_tflops_expected", "450", TypeError),
    ("reference_tflops_expected", [1], TypeError),
    ("reference_tflops_expected", {"a": 1}, TypeError),
    ("tdp_watts", True, TypeError),
    ("tdp_watts", None, TypeError),
    ("fp16_tflops_expected", float("nan"), ValueError),
    ("memory_bw_expected_gbps", float("inf"), ValueError),
    ("nccl_expected_busbw_gbps", 10**400, ValueError),
    ("nvlink_expected_bw_gbps", "900", TypeError),
    ("nvlink_link_count", 12.0, ValueError),
    ("nvlink_link_count", True, TypeError),
    ("pcie_expected_width", -16, ValueError),
    ("matmul_size", "8192", TypeError),
    ("has_ecc", "yes", TypeError),
    ("has_nvlink", 1, TypeError),
    ("tdp_wats", 650.0, ValueError),
    (7, 650.0, TypeError),
])
def test_override_values_must_fit_the_field(field, value, error):
    cfg = {"cluster": {"baselines": {"h100 sxm": {"tdp_watts": 600.0, field: value}}}}
    base = b.detect_gpu_profile(H100_RAW)
    for call in (lambda: b.detect_gpu_profile(H100_RAW, cfg),
                 lambda: b.apply_profile_overrides(base, H100_RAW, cfg)):
        with pytest.raises(error, match=repr(field)):
            call()
    assert b._override_problem(field, value) is not None


@pytest.mark.parametrize("field, value", [
    ("tdp_watts", 650), ("tdp_watts", fractions.Fraction(1301, 2)),
    ("nvlink_expected_bw_gbps", None), ("nvlink_warn_bw_gbps", 100.5),
    ("has_ecc", None), ("has_nvlink", False), ("matmul_size", 8192), ("nvlink_link_count", 0),
])
def test_override_values_that_fit_are_stored_as_given(field, value):
    cfg = {"cluster": {"baselines": {"h100 sxm": {field: value}}}}
    stored = b.detect_gpu_profile(H100_RAW, cfg).to_dict()[field]
    assert stored == value and type(stored) is type(value)
    assert b._override_problem(field, value) is None


def _stored(profile, **fields):
    return copy.replace(profile, **fields) if hasattr(copy, "replace") else \
        profile.__replace__(**fields)


@pytest.mark.parametrize("field, value", [
    ("reference_tflops_expected", "450"), ("reference_tflops_expected", [1]),
    ("fp16_tflops_expected", {"a": 1}), ("memory_bw_expected_gbps", True),
    ("nvlink_expected_bw_gbps", "450"), ("nvlink_expected_bw_gbps", [1]),
])
def test_describe_refuses_a_stored_non_number(field, value):
    # A profile built by a caller may hold anything; describing it must not crash.
    odd = _stored(b.detect_gpu_profile(H100_RAW), **{field: value})
    with pytest.raises(TypeError, match=field):
        b.describe_gpu_profile(odd, H100_RAW)


@pytest.mark.parametrize("helper, field", [
    (b.profile_percent_of_reference, "reference_tflops_expected"),
    (b.profile_percent_of_expected, "fp16_tflops_expected"),
])
@pytest.mark.parametrize("value", ["450", [1], {"a": 1}, True, None])
def test_percentages_refuse_a_stored_non_number(helper, field, value):
    odd = _stored(b.detect_gpu_profile(H100_RAW), **{field: value})
    with pytest.raises(TypeError, match=field):
        helper(odd, 100.0)


def test_normalize_override_map():
    overrides = {"a": {}}
    assert b._normalize_override_map({"cluster": {"baselines": overrides}}) is overrides
    assert b._normalize_override_map(None) == {}
    assert b._normalize_override_map({"cluster": {"baselines": "x"}}) == {}


@pytest.mark.parametrize("call", [
    lambda: b.detect_gpu_profile(5),
    lambda: b.detect_gpu_profile(b"H100"),
    lambda: b.detect_gpu_profile("H100", config=[1]),
    lambda: b.apply_profile_overrides("not a profile", "H100"),
    lambda: b._matching_override(1, "H100 SXM", None),
    lambda: b.describe_gpu_profile(b.BASELINES[0], 3),
    lambda: b.profile_percent_of_reference(b.BASELINES[0], "1"),
])
def test_wrong_types_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


# -- reporting ------------------------------------------------------------------------------

def test_describe():
    h100 = b.detect_gpu_profile(H100_RAW)
    assert b.describe_gpu_profile(h100, H100_RAW) == (
        "GPU: NVIDIA H100 80GB HBM3 (detected profile: H100 SXM) | Reference target: 480 TFLOPS | "
        "Peak FP16: 990 TFLOPS | 3350 GB/s memory | 450 GB/s NVLink | ECC: yes")
    generic = b.describe_gpu_profile(b.detect_gpu_profile(None))
    assert generic.startswith("GPU: generic (detected profile: generic)")
    assert generic.endswith("| no NVLink baseline | ECC: unknown")
    assert "ECC: no" in b.describe_gpu_profile(b.detect_gpu_profile("RTX 4090"), "")
    odd = _stored(h100, reference_tflops_expected=None, fp16_tflops_expected=2.5,
                  memory_bw_expected_gbps=3)
    text = b.describe_gpu_profile(odd)
    assert "Reference target: None TFLOPS" in text and "Peak FP16: 2 TFLOPS" in text
    assert "| 3 GB/s memory" in text  # ints format as the host's ".0f" does


def test_percentages():
    h100 = b.detect_gpu_profile("H100 SXM")
    assert b.profile_percent_of_reference(h100, 432.0) == 90.0
    assert b.profile_percent_of_reference(h100, 432) == 90.0
    assert b.profile_percent_of_expected(h100, None) is None
    assert b.profile_percent_of_expected(h100, 330.0) == round(330.0 / 990.0 * 100.0, 2)
    zero = b.apply_profile_overrides(h100, "x", {"cluster": {"baselines": {"x": {
        "reference_tflops_expected": 0}}}})
    assert b.profile_percent_of_reference(zero, 100.0) is None
