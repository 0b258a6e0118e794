import json
import logging
import threading
import time

import pytest

from corvane.providers import vast
from corvane.providers._http import ProviderApiError
from corvane.providers.base import ProvisionSpec
from fakes.marketplace import Marketplace

KEY = "sk-test-very-secret"
PUBKEY = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIexample user@host"


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
