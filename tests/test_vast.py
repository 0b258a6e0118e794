import argparse
import json
import logging
import re
import threading
import time

import pytest

from corvane.providers import vast
from corvane.providers._http import ProviderApiError
from corvane.providers.base import ProvisionSpec
from fakes import vast_calls
from fakes.marketplace import Marketplace

KEY = "sk-test-very-secret"
PUBKEY = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIexample user@host"


@pytest.fixture(autouse=True)
def own_registry(monkeypatch, tmp_path):
    """Launches are recorded in a registry of the test's own, never the user's."""
    monkeypatch.setenv("CORVANE_REGISTRY", str(tmp_path / "registry.sqlite3"))


@pytest.fixture
def market(monkeypatch):
    m = Marketplace().start()
    monkeypatch.setenv("CORVANE_VAST_API_BASE", m.base)
    monkeypatch.delenv("CORVANE_VAST_TRUSTED_PRICE_MULTIPLIER", raising=False)
    monkeypatch.delenv("CORVANE_VAST_HEDGE_PRICE_MULTIPLIER", raising=False)
    yield m
    m.stop()


@pytest.fixture
def no_sleep(monkeypatch):
    slept = []
    monkeypatch.setattr(time, "sleep", lambda s: slept.append(s))
    return slept


def offer(i, machine, price, **extra):
    return dict({"id": i, "machine_id": machine, "dph_total": price, "inet_down": 900.0,
                 "reliability": 0.99, "geolocation": "Quebec, CA", "verified": None}, **extra)


def spec(**kw):
    return ProvisionSpec(**dict({"gpu_type": "RTX_4090", "gpu_count": 2, "image": "pytorch:latest",
                                 "ssh_public_key": PUBKEY}, **kw))


P = vast.VastProvider()


def test_identity(monkeypatch):
    from corvane.providers.base import Provider

    assert isinstance(P, Provider) and P.name == "vast" and P.requires_credentials is True
    assert vast.VastProvider.__doc__ == "Vast.ai peer-to-peer GPU marketplace adapter."
    assert P.default_profile().remote_mode == "local" and P.has_api() and P.supports_provisioning()
    monkeypatch.setenv("VAST_CONTAINERLABEL", "")
    monkeypatch.setenv("VAST_TCP_PORT_22", "40022")
    assert P.detect() is True
    monkeypatch.delenv("VAST_TCP_PORT_22")
    assert P.detect() is False
    assert vast.VAST_GPU_NAME_MAP["A100_SXM"] == "A100 SXM4" and len(vast.VAST_GPU_NAME_MAP) == 14


def test_search_query(market):
    P._find_offers(spec(), KEY, limit=0)
    (req,) = market.requests
    assert req.method == "POST" and req.path == "/api/v0/bundles/"
    assert req.headers["Authorization"] == f"Bearer {KEY}"
    assert list(req.body) == ["type", "rentable", "rented", "gpu_name", "num_gpus", "reliability",
                              "inet_down", "cuda_max_good", "direct_port_count", "order", "limit"]
    assert req.body["gpu_name"] == {"in": ["RTX 4090"]} and req.body["num_gpus"] == {"eq": 2}
    assert req.body["limit"] == 1 and req.body["order"] == [["dph_total", "asc"]]
    assert req.body["cuda_max_good"] == {"gte": 12.4}
    P._find_offers(spec(gpu_type="T4", container_disk_gb=40, volume_gb=100, region="us,ca",
                        provider_hints=(("vast", {"limit": 5, "reliability": {"gte": 0.99}}),
                                        ("vast", "x"))), KEY, limit=9)
    body = market.requests[-1].body
    assert body["gpu_name"] == {"in": ["T4"]} and body["disk_space"] == {"gte": 140}
    assert body["geolocation"] == {"in": ["CA", "US"]}
    assert body["limit"] == 5 and body["reliability"] == {"gte": 0.99}
    P._find_cheapest_offer(spec(gpu_type="A100_SXM", volume_gb=0), KEY)
    body = market.requests[-1].body
    assert body["limit"] == 20 and "disk_space" not in body and body["gpu_name"] == {"in": ["A100 SXM4"]}


def test_filtering_and_preferences(market, monkeypatch):
    market.offers = [{"id": 7, "machine_id": 1}, {"id": None}, {"id": "abc"}, 5, {"id": "12"}]
    assert [o["id"] for o in P._find_offers(spec(), KEY, limit=5)] == [7, "12"]
    market.offers = [offer(1, 1, 1.0), offer(2, 2, 2.0), offer(3, 3, 9.0)]
    hint = (("vast_preferred_machine_ids", [3, "2", "x", 3]),)
    assert [o["id"] for o in P._find_offers(spec(provider_hints=hint), KEY, limit=5)] == [1, 2, 3]
    monkeypatch.setenv("CORVANE_VAST_TRUSTED_PRICE_MULTIPLIER", "10")
    assert [o["id"] for o in P._find_offers(spec(provider_hints=hint), KEY, limit=5)] == [2, 1, 3]
    tuple_hint = (("vast_preferred_machine_ids", (3, 2)),)
    assert [o["id"] for o in P._find_offers(spec(provider_hints=tuple_hint), KEY, limit=5)] == [1, 2, 3]


def test_recorded_search_answer(market, shared_fixtures):
    market.offers = json.loads((shared_fixtures / "marketplace" / "search-offers.json").read_text())["offers"]
    offers = P._find_offers(spec(), KEY, limit=20)
    assert offers == [o for o in market.offers if isinstance(o, dict) and o.get("id") is not None]


def test_launch_body_and_raw(market, no_sleep):
    market.offers = [offer(14823011, 31027, 0.65, datacenter=None, hosting_type=0)]
    s = spec(env=(("A", "1"), ("PUBLIC_KEY", "mine")), name=None,
             provider_hints=(("vast_launch", {"runtype": "jupyter"}),))
    result = P.provision(s, api_key=KEY)
    put = market.requests_to(r"/asks/", "PUT")[0]
    assert put.path == "/api/v0/asks/14823011/"
    body = put.body
    assert list(body) == ["image", "disk", "label", "env", "runtype", "onstart"]
    assert body["label"] == "corvane-RTX_4090-2" and body["env"] == {"A": "1", "PUBLIC_KEY": "mine"}
    assert body["runtype"] == "jupyter" and f"echo '{PUBKEY}' >>" in body["onstart"]
    assert result.instance_id == "28731904" and result.status == "pending"
    assert list(result.raw) == ["success", "new_contract", "image", "requested_image", "runtype",
                                "machine_id", "inet_down", "dph_total", "reliability", "geolocation",
                                "hosting_type", "ssh_key_attached"]
    assert result.raw["runtype"] == "jupyter" and result.raw["ssh_key_attached"] is True
    ssh = market.requests_to(r"/ssh/")[0]
    assert ssh.path == "/api/v0/instances/28731904/ssh/" and ssh.body == {"ssh_key": PUBKEY}


def test_onstart_quoting():
    assert vast._build_onstart(None) is None and vast._build_onstart("") is None
    assert "echo plain-key_1 >>" in vast._build_onstart("plain-key_1")
    assert "echo 'a b'\"'\"'c' >>" in vast._build_onstart("a b'c")
    assert vast._spec_env_to_vast_dict((("X", "1"), ("X", "2")), None) == {"X": "2"}
    with pytest.raises(TypeError):
        vast._spec_env_to_vast_dict([("X", "1")], None)


@pytest.mark.parametrize("answer, message", [
    ({"success": False, "error": "no_such_ask", "msg": "gone"}, "Vast.ai launch failed: "),
    ({"success": True}, "Vast.ai launch returned no contract id: "),
    (["x"], "Vast.ai launch failed: "),
])
def test_launch_failures(market, answer, message):
    market.offers = [offer(1, 1, 1.0)]
    market.launch_answer = answer
    with pytest.raises(ProviderApiError) as info:
        P.provision(spec(ssh_public_key=None), api_key=KEY)
    assert info.value.message.startswith(message) and info.value.status is None
    market.launch_answer = {"contract": 77}
    assert P.provision(spec(ssh_public_key=None), api_key=KEY).instance_id == "77"


def test_provision_preconditions(market):
    for kw, text in [({"registry_auth": "x"}, "private-registry"), ({"storage_mount": "r2"}, "object-storage")]:
        with pytest.raises(ProviderApiError, match=text):
            P.provision(spec(**kw), api_key=KEY)
    with pytest.raises(ValueError, match="API key is required"):
        P.provision(spec(), api_key="")
    with pytest.raises(ProviderApiError, match=r"gpu=RTX_4090 x2 under the quality floor \(reliability >= 0.95, cuda_max_good >= 12.4\)"):
        P.provision(spec(), api_key=KEY)
    with pytest.raises(TypeError):
        P.provision(spec(), api_key=5)


def test_hedged_launch(market, no_sleep):
    market.offers = [offer(1, 10, 1.0), offer(2, 10, 1.1), offer(3, 11, 1.2), offer(4, 12, 5.0),
                     offer(5, 13, 1.3)]
    seen = []

    def on_launch(result):
        seen.append((result.raw.get("hedge_slot"), "ssh_key_attached" in result.raw))

    results = P.provision_candidates(spec(), api_key=KEY, count=3, stagger_seconds=0.5,
                                     on_launch=on_launch)
    asks = sorted(r.path for r in market.requests_to(r"/asks/"))
    assert asks == ["/api/v0/asks/1/", "/api/v0/asks/3/", "/api/v0/asks/5/"]  # distinct, under the cap
    assert sorted(r.raw["hedge_slot"] for r in results) == [0, 1, 2]
    assert sorted(seen) == [(0, False), (1, False), (2, False)]
    assert sorted(no_sleep) == [0.5, 1.0]
    assert market.requests[0].body["limit"] == 20


def test_hedged_failures(market, no_sleep, caplog):
    market.offers = [offer(1, 10, 1.0), offer(2, 11, 1.0)]
    market.fail(r"/asks/1/", 500, {"success": False}, times=1)
    results = P.provision_candidates(spec(ssh_public_key=None), api_key=KEY, count=2)
    assert [r.raw["hedge_slot"] for r in results] == [1]
    assert "vast hedged candidate launch failed" in caplog.text
    market.fail(r"/asks/", 500, {"success": False}, times=2)
    with pytest.raises(ProviderApiError, match="all Vast.ai hedged launches failed for RTX_4090 x2"):
        P.provision_candidates(spec(ssh_public_key=None), api_key=KEY, count=2)
    market.offers = []
    with pytest.raises(ProviderApiError, match="no distinct Vast.ai machines matched RTX_4090 x2"):
        P.provision_candidates(spec(), api_key=KEY, count=2)


def test_hedged_launch_runs_in_parallel(market):
    market.offers = [offer(i, 100 + i, 1.0) for i in range(1, 9)]
    market.delays[r"/asks/"] = 0.2
    start = time.monotonic()
    results = P.provision_candidates(spec(ssh_public_key=None), api_key=KEY, count=8,
                                     stagger_seconds=0.05)
    elapsed = time.monotonic() - start
    assert len(results) == 8
    asks = sorted(r.at for r in market.requests_to(r"/asks/"))
    # Staggered: slot k starts no earlier than k x 0.05 s after the call ...
    assert all(at - start >= k * 0.05 - 0.005 for k, at in enumerate(asks))
    # ... yet the launches overlap instead of running one after another.
    assert elapsed < 8 * 0.2


def test_key_attach_retries(market, no_sleep, caplog):
    caplog.set_level(logging.WARNING, logger="corvane.providers.vast")
    market.fail(r"/ssh/", 404, {"success": False}, times=1)
    keys = f"{PUBKEY}\nssh-rsa BBB other\n{PUBKEY}   \n"
    assert P._attach_ssh_key("42", spec(ssh_public_key=keys), KEY) is True
    assert len(market.requests_to(r"/ssh/")) == 3 and no_sleep == [1]
    assert "key 1/2; retrying in 1s" in caplog.text
    market.fail(r"/ssh/", 401, {"success": False}, times=1)
    assert P._attach_ssh_key("42", spec(), KEY) is False
    assert "relying on onstart/PUBLIC_KEY fallback" in caplog.text
    market.fail(r"/ssh/", 200, {"success": False, "msg": "This SSH key is ALREADY Associated"}, times=1)
    assert P._attach_ssh_key("42", spec(), KEY) is True
    no_sleep.clear()
    market.fail(r"/ssh/", 404, {}, times=3)
    assert P._attach_ssh_key("42", spec(), KEY) is False and no_sleep == [1, 2]
    assert P._attach_ssh_key("42", spec(ssh_public_key=None), KEY) is None


def test_terminate_retries(market, no_sleep, caplog):
    market.instances["9"] = {"id": 9}
    market.fail(r"/instances/9/", 503, "busy", times=3, content_type="text/plain")
    assert P.terminate("9", api_key=KEY) is None and no_sleep == [1, 2, 4]
    market.fail(r"/instances/9/", 503, "busy", times=4, content_type="text/plain")
    with pytest.raises(ProviderApiError) as info:
        P.terminate("9", api_key=KEY)
    assert info.value.status == 503
    assert P.terminate("9", api_key=KEY) is None  # 404: already gone
    market.fail(r"/instances/9/", 400, {"success": False}, times=1)
    with pytest.raises(ProviderApiError):
        P.terminate("9", api_key=KEY)
    market.fail(r"/instances/9/", None, times=1)  # connection dropped: no status, no retry
    with pytest.raises(ProviderApiError) as info:
        P.terminate("9", api_key=KEY)
    assert info.value.status is None
    assert KEY not in caplog.text and KEY not in str(info.value)


def test_instances(market, shared_fixtures):
    items = json.loads((shared_fixtures / "marketplace" / "instances.json").read_text())["instances"]
    for it in items:
        market.instances[str(it["id"])] = it
    refs = P.list_instances(KEY)
    assert [r.instance_id for r in refs] == [str(it["id"]) for it in items]
    assert refs[0].raw is market.instances[str(items[0]["id"])] or refs[0].raw == items[0]
    one = P.get_instance(str(items[0]["id"]), api_key=KEY)
    assert one.ssh_port == items[0]["ssh_port"] and one.ssh_user == "root"
    with pytest.raises(ValueError, match="Vast.ai instance 404 not found"):
        P.get_instance("404", api_key=KEY)
    market.v0_listing_gone = True
    assert len(P.list_instances(KEY)) == len(items)
    assert market.requests[-1].path == "/api/v1/instances/"


def test_parse_instance():
    r = vast.VastProvider._parse_instance({"id": 123, "label": None, "gpu_name": "H100 SXM",
                                           "num_gpus": 8, "actual_status": "running",
                                           "ssh_host": "ssh7.example", "ssh_port": 31904,
                                           "geolocation": "Quebec, CA"})
    assert (r.instance_id, r.name, r.gpu_type, r.gpu_count, r.ssh_port, r.region) == \
        ("123", "", "H100 SXM", 8, 31904, "Quebec, CA")
    e = vast.VastProvider._parse_instance({})
    assert (e.instance_id, e.gpu_type, e.gpu_count, e.status, e.ssh_port) == ("", "UNKNOWN", 1, "UNKNOWN", 0)
    assert vast.VastProvider._parse_instance({"id": 0, "contract": 55, "num_gpus": 0}).instance_id == "55"
    assert vast.VastProvider._parse_instance({"intended_status": "stopped"}).status == "stopped"
    with pytest.raises(TypeError):
        vast.VastProvider._parse_instance([1])


def test_identifiers_are_one_path_segment(market):
    P.terminate("../../bundles", api_key=KEY)
    assert market.requests[-1].path == "/api/v0/instances/..%2F..%2Fbundles/"
    with pytest.raises(ValueError):
        P.get_instance("a/b?c#d", api_key=KEY)
    assert market.requests[-1].path == "/api/v0/instances/a%2Fb%3Fc%23d/"
    P.terminate("..", api_key=KEY)
    assert market.requests[-1].path == "/api/v0/instances/%2E%2E/"


def test_command_line(market, monkeypatch, capsys):
    from corvane import cli

    monkeypatch.delenv("VAST_API_KEY", raising=False)
    assert cli.main(["vast", "ls"]) == 2
    assert "VAST_API_KEY" in capsys.readouterr().err
    monkeypatch.setenv("VAST_API_KEY", KEY)
    market.offers = [offer(14823011, 31027, 0.6513, gpu_name="RTX 4090")]
    assert cli.main(["vast", "offers", "--gpu", "RTX_4090", "--count", "2"]) == 0
    out = capsys.readouterr().out
    assert "14823011" in out and "31027" in out and "0.6513" in out and "Quebec, CA" in out
    assert cli.main(["vast", "launch", "--gpu", "RTX_4090"]) == 0
    assert "launched instance 28731904" in capsys.readouterr().out
    assert cli.main(["vast", "ls"]) == 0 and "28731904" in capsys.readouterr().out
    assert cli.main(["vast", "rm", "28731904"]) == 0
    market.fail(r"/instances/", 401, {"success": False, "msg": "bad key"})
    assert cli.main(["vast", "ls"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("corvane: ") and "Traceback" not in err and KEY not in err


def test_failing_callback_is_logged_and_the_launch_goes_on(market, no_sleep, caplog):
    market.offers = [offer(1, 10, 1.0)]

    def explode(result):
        raise RuntimeError("caller bug")

    (result,) = P.provision_candidates(spec(), api_key=KEY, count=1, on_launch=explode)
    assert result.raw["hedge_slot"] == 0 and result.raw["ssh_key_attached"] is True
    assert "Vast contract callback failed for 28731904" in caplog.text and "caller bug" in caplog.text
    assert all(KEY not in r.getMessage() for r in caplog.records)


# -- answers of every shape ------------------------------------------------------------------

INSTANCE = "28731904"
ONE_LINE_MAX = 700  # a quoted answer is cut at 300 bytes; the rest of a message is short


def assert_api_error(info, *, contains=""):
    err = info.value
    text = str(err)
    assert isinstance(err, ProviderApiError) and err.provider == "vast"
    assert "\n" not in text and "\r" not in text and len(text) < ONE_LINE_MAX, text
    assert KEY not in text and KEY not in repr(err.args)
    assert contains in text
    text.encode("utf-8")  # printable as it is: no lone surrogates


def call(op):
    return vast_calls.call(P, op, spec(), KEY, INSTANCE)


@pytest.mark.parametrize("op, path, answer, contains", [
    ("offers", r"/bundles/", {"offers": 5}, "'offers' is int, not a list"),
    ("offers", r"/bundles/", {"offers": True}, "'offers' is bool"),
    ("offers", r"/bundles/", {"offers": "abc"}, "'offers' is str"),
    ("offers", r"/bundles/", {"offers": {"id": 1}}, "'offers' is dict"),
    ("list", r"/instances/$", {"instances": True}, "'instances' is bool"),
    ("list", r"/instances/$", {"instances": 7.5}, "'instances' is float"),
    ("list", r"/instances/$", {"instances": [{"id": 1, "num_gpus": "eight"}]},
     "'num_gpus' is not an integer: 'eight'"),
    ("list", r"/instances/$", {"instances": [{"id": 1, "ssh_port": float("inf")}]},
     "'ssh_port' is not an integer: inf"),
    ("list", r"/instances/$", {"instances": [{"id": 1, "num_gpus": float("nan")}]}, "'num_gpus'"),
    ("list", r"/instances/$", {"instances": [{"id": "\ud800"}]}, "'id' is not valid text"),
    ("get", rf"/instances/{INSTANCE}/", {"instances": {"label": "a\udfffb"}},
     "'label' is not valid text"),
    ("get", rf"/instances/{INSTANCE}/", {"id": 3, "num_gpus": [8]}, "'num_gpus'"),
    ("launch", r"/asks/", {"success": True, "new_contract": "\ud800"}, "invalid contract id"),
    ("launch", r"/asks/", {"new_contract": [1, 2]}, "invalid contract id"),
    ("launch", r"/asks/", {"new_contract": 1.5}, "invalid contract id"),
    ("launch", r"/asks/", {"contract": True}, "invalid contract id"),
    ("launch", r"/asks/", {"contract": -3}, "invalid contract id"),
    ("launch", r"/asks/", {"contract": "12/../bundles"}, "invalid contract id"),
    ("launch", r"/asks/", {"success": False, "msg": "x" * 100_000}, "Vast.ai launch failed: "),
    ("launch", r"/asks/", {"success": False, "msg": f"key {KEY} refused\nagain"},
     "key <api key> refused"),
])
def test_malformed_answers_are_provider_errors(market, no_sleep, op, path, answer, contains):
    market.offers = [offer(1, 10, 1.0)]
    market.answer(path, answer, times=10)
    with pytest.raises(ProviderApiError) as info:
        call(op)
    assert_api_error(info, contains=contains)
    assert info.value.status is None


@pytest.mark.parametrize("key", ["k3y9Z", 'k"\\\u00e9 y'])
@pytest.mark.parametrize("op, path, status", [("offers", r"/bundles/", 401),
                                               ("launch", r"/asks/", 200)])
def test_the_key_never_shows_whatever_its_length_and_form(market, no_sleep, key, op, path,
                                                          status):
    from urllib.parse import quote, quote_plus

    forms = {key, json.dumps(key)[1:-1], json.dumps(key, ensure_ascii=False)[1:-1],
             quote(key, safe=""), quote_plus(key, safe="")}
    echoed = "Authorization: Bearer " + " / ".join(sorted(forms))
    market.offers = [offer(1, 10, 1.0)]
    market.fail(path, status, {"success": False, "msg": echoed}, times=10)
    with pytest.raises(ProviderApiError) as info:
        vast_calls.call(P, op, spec(), key, INSTANCE)
    shown = str(info.value) + repr(info.value)
    assert "<api key>" in shown and not any(f in shown for f in forms), shown


@pytest.mark.parametrize("answer, ids", [
    ({"offers": None}, []),
    ({"success": True}, []),
    ([{"id": 1}], []),
    ({"offers": [{"id": float("inf")}, {"id": float("nan")}, {"id": 10 ** 40}, {"id": "1e3"},
                 {"id": 2, "machine_id": float("inf"), "dph_total": 10 ** 400}]},
     [10 ** 40, 2]),
])
def test_unusable_offers_are_skipped(market, answer, ids):
    market.answer(r"/bundles/", answer)
    assert [o["id"] for o in P._find_offers(spec(), KEY, limit=5)] == ids


def test_odd_prices_and_machine_ids_rank_without_errors(market, monkeypatch):
    market.offers = [offer(1, float("inf"), 1.0), offer(2, 2, 10 ** 400), offer(3, 3, "nan"),
                     offer(4, 4, 1.0)]
    hint = (("vast_preferred_machine_ids", [4, float("inf"), "\ud800", 10 ** 30]),)
    assert [o["id"] for o in P._find_offers(spec(provider_hints=hint), KEY, limit=5)] == [4, 1, 2, 3]
    results = P.provision_candidates(spec(ssh_public_key=None), api_key=KEY, count=9,
                                     stagger_seconds=0)
    assert sorted(r.raw["machine_id"] for r in results) == [2, 3, 4]  # no integer for inf


@pytest.mark.parametrize("answer", [
    {"success": False, "msg": "\ud800"},
    {"success": 0, "msg": "already associated"},
    {"success": "true"},
    [True],
    None,
])
def test_key_attach_survives_any_answer(market, no_sleep, caplog, answer):
    market.answer(r"/ssh/", answer, times=5)
    assert P._attach_ssh_key(INSTANCE, spec(), KEY) is False
    assert len(market.requests_to(r"/ssh/")) == 1  # an answer that says no is not retried
    assert "relying on onstart/PUBLIC_KEY fallback" in caplog.text
    # After a launch the same answer leaves the rented instance with its caller.
    market.offers = [offer(1, 10, 1.0)]
    result = P.provision(spec(), api_key=KEY)
    assert result.instance_id in market.instances and result.raw["ssh_key_attached"] is False


def test_lone_surrogate_instance_id_in_a_not_found_error(market):
    with pytest.raises(ValueError) as info:
        P.get_instance("\ud800", api_key=KEY)
    assert str(info.value) == "Vast.ai instance \ud800 not found"
    assert market.requests[-1].path == "/api/v0/instances/%EF%BF%BD/"


@pytest.mark.parametrize("op, path", [("offers", r"/bundles/"), ("list", r"/instances/$"),
                                      ("terminate", r"/instances/\d+/")])
@pytest.mark.parametrize("raw, contains", [
    (b"HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n{\"offers\": []}", "answer cut short: the connection closed after 14 bytes"),
    (b"garbage\r\n\r\n", "malformed HTTP answer"),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n\xff\xfe\xfa\x00", "invalid JSON answer"),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + b"[" * 100000, "nested too deeply"),
    (b"HTTP/1.1 401 Unauthorized\r\nContent-Length: 39\r\n\r\nbad key sk-test-very-secret\nsee docs\n",
     "bad key <api key> see docs"),
])
def test_broken_http_answers_are_provider_errors(market, no_sleep, op, path, raw, contains):
    market.garble(path, raw, times=5)
    with pytest.raises(ProviderApiError) as info:
        call(op)
    assert_api_error(info, contains=contains)


def test_oversized_answers_are_refused(market, monkeypatch):
    from corvane.providers import _http

    monkeypatch.setattr(_http, "MAX_ANSWER_BYTES", 1000)
    market.offers = [offer(i, i, 1.0) for i in range(50)]
    with pytest.raises(ProviderApiError) as info:
        P._find_offers(spec(), KEY, limit=50)
    assert_api_error(info, contains="answer larger than 1000 bytes")


@pytest.mark.parametrize("key", [f"{KEY}\nX-Injected: 1", f"{KEY}\u0100", f"{KEY}\ud800"])
def test_unsendable_keys_fail_without_showing_the_key(market, key):
    with pytest.raises(ProviderApiError) as info:
        P.list_instances(key)
    assert_api_error(info, contains="could not be sent")
    assert not market.requests


@pytest.mark.parametrize("base", ["\udcff", "/a b", "/\x1b"])
def test_an_unusable_api_base_is_an_error(market, monkeypatch, base):
    monkeypatch.setenv("CORVANE_VAST_API_BASE", market.base + base)
    with pytest.raises(ProviderApiError) as info:
        P.list_instances(KEY)
    assert_api_error(info, contains="could not be sent: invalid URL or header")


@pytest.mark.parametrize("constant, value, op, entry_point", [
    ("_SSH_ATTACH_MAX_ATTEMPTS", 10 ** 30, "attach", "_attach_ssh_key"),
    ("_TERMINATE_MAX_ATTEMPTS", "four", "terminate", "terminate"),
])
def test_a_native_fault_becomes_a_host_error(market, monkeypatch, constant, value, op,
                                             entry_point):
    # Constants are read at call time; one that has no C++ integer makes the conversion throw.
    monkeypatch.setattr(vast, constant, value)
    with pytest.raises(ProviderApiError) as info:
        call(op)
    assert_api_error(info, contains=f"internal error in {entry_point}: ")


# -- a randomized sweep: whatever the marketplace answers, only ProviderApiError or a valid
# -- result comes out --------------------------------------------------------------------------

from hypothesis import HealthCheck, event, given, settings, strategies as st  # noqa: E402

OFFER_KEYS = ["id", "machine_id", "dph_total", "inet_down", "reliability", "geolocation",
              "verified"]
ANSWER_KEYS = ["offers", "instances", "success", "msg", "new_contract", "contract", "id",
               "label", "gpu_name", "num_gpus", "actual_status", "intended_status", "ssh_host",
               "ssh_port", "geolocation", "country", "error"]
TRICKY_TEXT = ["", "0", "12", "-3", "1e999", "nan", "abc", "\ud800", "a\udfffb", "\x1b[2J\n",
               "already associated", "ALREADY ASSOCIATED", KEY, "../..", "9" * 5000]
leaf = st.one_of(
    st.none(), st.booleans(), st.integers(-3, 40),
    st.sampled_from([10 ** 30, -(10 ** 30), 2 ** 63, 10 ** 300]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from(TRICKY_TEXT),
    st.text(st.characters(exclude_categories=()), max_size=6))
json_value = st.recursive(
    leaf, lambda inner: st.lists(inner, max_size=4)
    | st.dictionaries(st.sampled_from(ANSWER_KEYS + OFFER_KEYS) | st.text(max_size=3), inner,
                      max_size=5), max_leaves=12)
offer_like = st.dictionaries(st.sampled_from(OFFER_KEYS), leaf, max_size=len(OFFER_KEYS))
item_like = st.dictionaries(st.sampled_from(ANSWER_KEYS), leaf | json_value, max_size=8)
# Answers of the right outline with odd values inside, and answers of any shape.
answer = st.one_of(
    st.fixed_dictionaries({"offers": st.lists(offer_like | json_value, max_size=5)}),
    st.fixed_dictionaries({"instances": st.lists(item_like | json_value, max_size=4)
                           | item_like | json_value}),
    item_like, json_value)
good_offers = st.lists(st.builds(offer, st.integers(1, 10 ** 6), st.integers(1, 5),
                                 st.floats(0.1, 3.0)), min_size=1, max_size=4)
# What one endpoint does: a status with a JSON body, or bytes that are not a JSON answer.
reply = st.one_of(
    st.tuples(st.sampled_from([200] * 6 + [400, 401, 404, 409, 410, 500, 503]), answer),
    st.tuples(st.just(200), st.sampled_from([b"\xff\xfe", b"{", b"[" * 5000, b"null", b"1e999"])),
    st.tuples(st.just(None), st.just(None)))
PATHS = {"search": r"/bundles/", "launch": r"/asks/", "ssh": r"/ssh/",
         "listing": r"/instances/$", "one": r"/instances/[^/]+/$"}
@pytest.fixture(scope="module")
def sweep_market():
    m = Marketplace().start()
    yield m
    m.stop()


@settings(max_examples=400, derandomize=True, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(op=st.sampled_from(vast_calls.OPERATIONS), offers=good_offers, item=item_like,
       replies=st.fixed_dictionaries({name: st.none() | reply for name in PATHS}))
def test_any_answer_gives_a_provider_error_or_a_valid_result(sweep_market, monkeypatch, op, offers,
                                                             item, replies):
    market = sweep_market
    monkeypatch.setenv("CORVANE_VAST_API_BASE", market.base)
    monkeypatch.setattr(time, "sleep", lambda s: None)
    monkeypatch.setattr(logging.getLogger("corvane.providers.vast"), "disabled", True)
    market.failures = []
    market.offers = offers
    market.instances = {INSTANCE: item}
    for name, scripted in replies.items():
        if scripted is None:
            continue  # the marketplace's own answer, so that later steps are reached
        status, body = scripted
        if isinstance(body, bytes):
            market.garble(PATHS[name], b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s"
                          % (len(body), body), times=100)
        else:
            market.fail(PATHS[name], status, body, times=100)
    try:
        result = call(op)
    except ProviderApiError as exc:
        event(f"{op}: ProviderApiError")
        text = str(exc)
        assert "\n" not in text and len(text) < ONE_LINE_MAX and KEY not in text, text
        text.encode("utf-8")
    except ValueError as exc:
        event(f"{op}: not found")
        assert op == "get" and str(exc) == f"Vast.ai instance {INSTANCE} not found"
    else:
        event(f"{op}: result")
        vast_calls.check_result(op, result)


# -- the command line ----------------------------------------------------------------------------

@pytest.fixture
def vast_cli(market, monkeypatch, no_sleep):
    from corvane import cli

    monkeypatch.setenv("VAST_API_KEY", KEY)

    def run(*argv):
        return cli.main(["vast", *argv])

    return run


def stderr_line(err):
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("corvane: ") and "Traceback" not in err, err
    assert KEY not in err
    return lines[0]


def test_hedged_launch_with_a_failed_slot_lists_what_was_rented(market, vast_cli, capsys):
    market.offers = [offer(1, 10, 1.0), offer(2, 11, 1.25), offer(3, 12, 1.5)]
    market.fail(r"/asks/2/", 500, {"success": False, "msg": "host busy"})
    assert vast_cli("launch", "--gpu", "RTX_4090", "--hedge", "3") == 1
    out, err = capsys.readouterr()
    launched = [re.fullmatch(r"launched instance (\d+) on machine (\d+) at \$([\d.]+)/h", line)
                for line in out.splitlines()]
    assert all(launched) and len(launched) == 2
    ids = [m[1] for m in launched]
    assert sorted(ids) == sorted(market.instances)  # every rented instance, nothing else
    assert sorted((m[2], m[3]) for m in launched) == [("10", "1.0"), ("12", "1.5")]
    line = stderr_line(err)
    assert "1 of 3 launches failed" in line and "host busy" in line
    assert "running and cost money" in line and line.endswith("corvane vast rm " + " ".join(ids))


@pytest.mark.parametrize("fault, rc", [(RuntimeError("attach exploded"), 1),
                                       (KeyboardInterrupt(), 130)])
@pytest.mark.parametrize("hedge", ["1", "2"])
def test_a_failure_after_renting_never_loses_the_instance(market, vast_cli, capsys, monkeypatch,
                                                          fault, rc, hedge):
    market.offers = [offer(1, 10, 1.0), offer(2, 11, 1.0)]

    def attach(self, instance_id, spec, api_key):
        raise fault

    monkeypatch.setattr(vast.VastProvider, "_attach_ssh_key", attach)
    assert vast_cli("launch", "--gpu", "RTX_4090", "--hedge", hedge) == rc
    out, err = capsys.readouterr()
    rented = sorted(market.instances)
    assert len(rented) == int(hedge)
    assert all(f"launched instance {i} on machine" in out for i in rented)
    line = stderr_line(err)
    assert "running and cost money" in line
    assert sorted(line.split("corvane vast rm ")[1].split()) == rented


def test_launch_failures_without_rented_instances(market, vast_cli, capsys):
    assert vast_cli("launch", "--gpu", "RTX_4090") == 1
    assert "no offers matched RTX_4090 x1" in stderr_line(capsys.readouterr().err)
    market.offers = [offer(1, 10, 1.0)]
    market.fail(r"/asks/", 400, {"success": False, "msg": "no such ask"})
    assert vast_cli("launch", "--gpu", "RTX_4090") == 1
    line = stderr_line(capsys.readouterr().err)
    assert "no such ask" in line and "no instance was rented" in line
    assert not market.instances


def test_a_successful_hedge_names_the_instances_to_remove(market, vast_cli, capsys):
    market.offers = [offer(1, 10, 1.0), offer(2, 11, 1.0)]
    assert vast_cli("launch", "--gpu", "RTX_4090", "--hedge", "3") == 0
    out, err = capsys.readouterr()
    assert err == "" and len(market.instances) == 2
    assert "only 2 distinct machines matched" in out
    assert all(i in out.splitlines()[-1] for i in market.instances)


def test_rm_tries_every_id_and_reports_each(market, vast_cli, capsys):
    market.instances.update({"5": {"id": 5}, "6": {"id": 6}, "7": {"id": 7}})
    market.fail(r"/instances/6/", 400, {"success": False, "msg": "locked"})
    assert vast_cli("rm", "5", "404", "6", "7") == 1
    out, err = capsys.readouterr()
    assert out.splitlines() == ["terminated instance 5", "terminated instance 7"]
    assert err.splitlines() == [
        "corvane: instance 404 not found (HTTP 404): nothing was terminated",
        "corvane: instance 6 was not terminated: vast API error (HTTP 400): "
        '{"success": false, "msg": "locked"}']
    assert [r.path for r in market.requests_to(r"/instances/", "DELETE")] == [
        "/api/v0/instances/5/", "/api/v0/instances/404/", "/api/v0/instances/6/",
        "/api/v0/instances/7/"]
    assert list(market.instances) == ["6"]
    assert vast_cli("rm", "6") == 0
    market.fail(r"/instances/", None, times=1)  # no answer at all
    market.instances["8"] = {"id": 8}
    assert vast_cli("rm", "8") == 1
    assert "instance 8 was not terminated" in stderr_line(capsys.readouterr().err)


def test_offers_limit_and_a_refused_key(market, vast_cli, capsys):
    market.offers = [offer(i, i, 1.0 + i / 10) for i in range(1, 7)]
    assert vast_cli("offers", "--gpu", "RTX_4090", "--limit", "2") == 0
    rows = capsys.readouterr().out.splitlines()
    assert len(rows) == 3 and rows[1].split()[0] == "1" and rows[2].split()[0] == "2"
    market.fail(r"/bundles/", 401, {"success": False, "msg": "invalid api key"})
    assert vast_cli("offers", "--gpu", "RTX_4090") == 1
    assert "the marketplace refused the API key (HTTP 401)" in stderr_line(capsys.readouterr().err)


def test_marketplace_text_is_printed_safely(market, vast_cli, capsys):
    market.offers = [offer(1, 10, 1.0, gpu_name="\x1b[2J\ud800", geolocation="a\nb")]
    assert vast_cli("offers", "--gpu", "RTX_4090") == 0
    out = capsys.readouterr().out
    assert "\x1b" not in out and "\\x1b[2J\\ud800" in out and "a\\nb" in out
    market.answer(r"/instances/", {"instances": [{"id": 1, "label": "\ud800"}]})
    assert vast_cli("ls") == 1
    assert "'label' is not valid text" in stderr_line(capsys.readouterr().err)


@pytest.mark.parametrize("argv", [
    ["offers", "--gpu", "X", "--limit", "0"], ["offers", "--gpu", "X", "--count", "-1"],
    ["launch", "--gpu", "X", "--hedge", "0"], ["launch", "--gpu", "X", "--count", "0"],
    ["launch", "--gpu", "X", "--hedge", "two"], ["launch", "--gpu", "X", "--disk", "nan"],
    ["rm"], [], ["bogus"],
])
def test_usage_errors_are_one_line_with_status_2(vast_cli, capsys, argv):
    if not argv:  # `corvane vast` alone shows its help: what the commands are
        assert vast_cli() == 2
        err = capsys.readouterr().err
        assert err.startswith("usage: corvane vast") and "offers" in err and "rm" in err
        return
    with pytest.raises(SystemExit) as info:
        vast_cli(*argv)
    assert info.value.code == 2
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and err.startswith("corvane vast") and ": error: " in err


def test_every_vast_option_has_help():
    from corvane import cli

    def sub_parsers(parser):
        for action in parser._actions:
            if isinstance(action, argparse._SubParsersAction):
                yield from action.choices.items()

    vast_parser = dict(sub_parsers(cli.build_parser()))["vast"]
    commands = dict(sub_parsers(vast_parser))
    assert set(commands) == {"offers", "launch", "ls", "rm"}
    for name, parser in commands.items():
        for action in parser._actions:
            assert action.help, f"vast {name} {action.option_strings or action.dest}"


def test_an_interrupted_hedged_launch_starts_no_further_slots(market, monkeypatch):
    import concurrent.futures

    market.offers = [offer(1, 10, 1.0), offer(2, 11, 1.0), offer(3, 12, 1.0)]
    market.fail(r"/asks/1/", 500, {"success": False})
    released = threading.Event()
    # Slots 1 and 2 wait out their stagger until the caller's thread leaves the pool ...
    monkeypatch.setattr(time, "sleep", lambda s: released.wait(10))
    shutdown = concurrent.futures.ThreadPoolExecutor.shutdown

    def leave(pool, *args, **kwargs):
        released.set()
        return shutdown(pool, *args, **kwargs)

    monkeypatch.setattr(concurrent.futures.ThreadPoolExecutor, "shutdown", leave)

    class Interrupting:  # ... which it does when Ctrl-C lands while slot 0's failure is logged
        def exception(self, *args, **kwargs):
            raise KeyboardInterrupt

    monkeypatch.setattr(vast, "log", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        P.provision_candidates(spec(ssh_public_key=None), api_key=KEY, count=3)
    assert [r.path for r in market.requests_to(r"/asks/")] == ["/api/v0/asks/1/"]
    assert not market.instances
