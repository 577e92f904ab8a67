"""PodWarden against a local stand-in for a cluster's API server."""
import datetime
import json
import os

import pytest
import urllib3
from kubernetes import client
from kubernetes.client.exceptions import ApiException
from kubernetes.config.config_exception import ConfigException

from kestro.common import defines
from kestro.oss import oss
from kestro.pyspark_k8s import podwarden
from kestro.pyspark_k8s.podwarden import PodWarden
from servers.k8s_api import K8sApiServer

CTX = {"task_type": "sptask", "trid": 7, "index": 0}
TOKEN = "t0ken"


@pytest.fixture
def k8s():
    # a token is required, so every test also proves the kubeconfig's user is used
    with K8sApiServer(token=TOKEN) as srv:
        yield srv


@pytest.fixture
def kubeconfig(k8s, tmp_path):
    return k8s.write_kubeconfig(str(tmp_path / "kubeconfig"), token=TOKEN)


@pytest.fixture
def warden(kubeconfig):
    return PodWarden(CTX, k8s_conn_config=kubeconfig)


def test_module_binds_the_shared_objects():
    assert podwarden.BMOBJ is defines.BMOBJ
    assert podwarden.Et is defines.Et
    assert podwarden.AliyunOss is oss.AliyunOss


def test_library_modules_are_read_on_the_module_at_call_time(monkeypatch):
    loaded, api = [], object()
    monkeypatch.setattr(podwarden, "config", type("Config", (), {"load_kube_config": staticmethod(loaded.append)}))
    monkeypatch.setattr(podwarden, "client", type("Client", (), {"CoreV1Api": staticmethod(lambda: api)}))
    w = PodWarden(CTX, k8s_conn_config="/nowhere/kubeconfig")
    assert loaded == ["/nowhere/kubeconfig"] and w.k8s_client is api


class TestConstruction:
    def test_stores_arguments_and_makes_an_api_object(self, warden, kubeconfig, k8s):
        assert warden.ctx is CTX
        assert warden.k8s_conn_config == kubeconfig
        assert isinstance(warden.k8s_client, client.CoreV1Api)
        assert warden.k8s_client.api_client.configuration.host == k8s.url
        assert k8s.requests == []  # construction sends nothing

    def test_calls_get_k8s_client_through_self(self, kubeconfig):
        calls = []

        class Recording(PodWarden):
            def get_k8s_client(self):
                calls.append(self.k8s_conn_config)

        w = Recording(CTX, kubeconfig)
        assert calls == [kubeconfig]
        assert not hasattr(w, "k8s_client")

    @pytest.mark.parametrize(
        "where, arg",
        [(".kube/config", None), ("clusters/spark.yaml", "~/clusters/spark.yaml")],
        ids=["default", "explicit"],
    )
    def test_home_is_expanded_before_loading(self, k8s, tmp_path, monkeypatch, where, arg):
        monkeypatch.setenv("HOME", str(tmp_path))
        target = tmp_path / where
        target.parent.mkdir(parents=True)
        k8s.write_kubeconfig(str(target), token=TOKEN)
        k8s.add_pod("found")
        w = PodWarden(CTX) if arg is None else PodWarden(CTX, k8s_conn_config=arg)
        assert w.k8s_conn_config == (arg or "~/.kube/config")
        # the cluster and token of the file under HOME answer
        assert [p["name"] for p in w.get_all_pods()] == ["found"]

    @pytest.mark.parametrize(
        "content, error",
        [(None, ConfigException), ("{}", ConfigException), ("clusters: [oops", Exception)],
        ids=["missing", "no-context", "not-yaml"],
    )
    def test_bad_kubeconfig_fails_with_the_library_error(self, tmp_path, content, error):
        path = tmp_path / "kubeconfig"
        if content is not None:
            path.write_text(content)
        with pytest.raises(error) as info:
            PodWarden(CTX, k8s_conn_config=str(path))
        assert type(info.value).__module__.split(".")[0] in ("kubernetes", "yaml")

    def test_reload_replaces_the_api_object(self, warden, tmp_path):
        first = warden.k8s_client
        with K8sApiServer() as other:
            other.add_pod("elsewhere")
            other.write_kubeconfig(warden.k8s_conn_config)
            assert warden.get_k8s_client() is None
            assert warden.k8s_client is not first
            assert [p["name"] for p in warden.get_all_pods()] == ["elsewhere"]
        os.remove(warden.k8s_conn_config)
        with pytest.raises(ConfigException):
            warden.get_k8s_client()


class TestListing:
    def test_only_default_pods_in_server_order(self, warden, k8s):
        t1 = datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc)
        t2 = datetime.datetime(2023, 12, 31, 23, 59, 59, tzinfo=datetime.timezone.utc)
        k8s.add_pod("zeta-driver", phase="Running", created=t1)
        k8s.add_pod("zeta-driver", namespace="kube-system")
        k8s.add_pod("alpha-exec-1", phase="Succeeded", created=t2)
        k8s.add_pod("gamma", namespace="spark", phase="Failed")
        k8s.add_pod("beta", phase="Pending", created=t1)
        pods = warden.get_all_pods()
        assert pods == [
            {"name": "zeta-driver", "status": "Running", "create_time": t1},
            {"name": "alpha-exec-1", "status": "Succeeded", "create_time": t2},
            {"name": "beta", "status": "Pending", "create_time": t1},
        ]
        assert all(list(p) == ["name", "status", "create_time"] for p in pods)
        assert all(isinstance(p["create_time"], datetime.datetime) for p in pods)
        (req,) = k8s.requests
        # watch off; the client spells the flag "False" or "false" depending on its release
        lowered = {k: [v.lower() for v in vs] for k, vs in req.query.items()}
        assert (req.method, req.path, lowered) == ("GET", "/api/v1/pods", {"watch": ["false"]})

    @pytest.mark.parametrize("namespaces", [[], ["spark", "kube-system", "spark"]], ids=["empty", "elsewhere"])
    def test_no_default_pods_gives_empty_list(self, warden, k8s, namespaces):
        for i, ns in enumerate(namespaces):
            k8s.add_pod("pod-%d" % i, namespace=ns)
        assert warden.get_all_pods() == []


class TestPodCalls:
    def test_info_returns_the_library_pod(self, warden, k8s):
        k8s.add_pod("driver", phase="Running")
        pod = warden.get_pod_info("driver")
        assert isinstance(pod, client.V1Pod)
        assert (pod.metadata.name, pod.metadata.namespace, pod.status.phase) == ("driver", "default", "Running")
        assert k8s.requests[-1].path == "/api/v1/namespaces/default/pods/driver"

    @pytest.mark.parametrize(
        "kwargs, tail",
        [({}, "1000"), ({"lines_count": 10}, "10"), ({"lines_count": 3000}, "3000"), ({"lines_count": None}, None)],
        ids=["default", "ten", "more-than-log", "whole"],
    )
    def test_log_tail(self, warden, k8s, kwargs, tail):
        lines = ["line %d\n" % i for i in range(1500)]
        k8s.add_pod("driver", log="".join(lines))
        text = warden.get_pod_log("driver", **kwargs)
        assert text == "".join(lines[-int(tail) :] if tail else lines)
        req = k8s.requests[-1]
        assert req.path == "/api/v1/namespaces/default/pods/driver/log"
        assert req.query.get("pretty") == ["true"]
        assert req.query.get("tailLines") == ([tail] if tail else None)

    def test_log_count_by_position(self, warden, k8s):
        k8s.add_pod("driver", log="a\nb\nc\n")
        assert warden.get_pod_log("driver", 2) == "b\nc\n"

    def test_delete_sends_no_options_and_returns_the_library_result(self, warden, k8s):
        k8s.add_pod("driver")
        k8s.add_pod("driver", namespace="spark")
        # the client's result type differs between its releases: whatever it
        # returns must reach the caller as it is
        real = warden.k8s_client
        returned = []

        class Spy:
            def __getattr__(self, name):
                return getattr(real, name)

            def delete_namespaced_pod(self, *args, **kwargs):
                returned.append(real.delete_namespaced_pod(*args, **kwargs))
                return returned[-1]

        warden.k8s_client = Spy()
        result = warden.delete_pod("driver")
        assert len(returned) == 1 and result is returned[0]
        assert result.kind == "Pod"
        req = k8s.requests[-1]
        assert (req.method, req.path, req.query) == ("DELETE", "/api/v1/namespaces/default/pods/driver", {})
        assert req.body in (b"", b"null", b"{}")
        assert list(k8s.pods) == [("spark", "driver")]


CALLS = [
    ("get_pod_info", lambda w, n: w.get_pod_info(n)),
    ("get_pod_log", lambda w, n: w.get_pod_log(n)),
    ("delete_pod", lambda w, n: w.delete_pod(n)),
]
CALL_IDS = [name for name, _ in CALLS]
CALL_FNS = [fn for _, fn in CALLS]


class TestFailures:
    @pytest.mark.parametrize("call", CALL_FNS, ids=CALL_IDS)
    def test_unknown_pod_raises_api_error(self, warden, k8s, call):
        k8s.add_pod("ghost", namespace="spark")  # same name, other namespace: still unknown
        # newer clients raise a subclass for 404; callers catch ApiException
        with pytest.raises(ApiException) as info:
            call(warden, "ghost")
        assert info.value.status == 404
        assert json.loads(info.value.body)["message"] == 'pods "ghost" not found'
        assert ("spark", "ghost") in k8s.pods

    @pytest.mark.parametrize("call", CALL_FNS, ids=CALL_IDS)
    def test_empty_name_is_refused_before_any_request(self, warden, k8s, call):
        k8s.add_pod("driver")
        with pytest.raises(defines.Et) as info:
            call(warden, "")
        assert info.value.state == 2
        assert k8s.requests == []
        assert ("default", "driver") in k8s.pods

    def test_server_error_passes_through(self, warden, k8s):
        k8s.fail_next(500)
        with pytest.raises(ApiException) as info:
            warden.get_all_pods()
        assert info.value.status == 500

    def test_unreachable_cluster_passes_through(self, warden, k8s):
        k8s.add_pod("driver")
        assert len(warden.get_all_pods()) == 1  # leaves a kept-alive connection behind
        k8s.stop()
        with pytest.raises(urllib3.exceptions.MaxRetryError):
            warden.get_all_pods()

    @pytest.mark.parametrize(
        "call",
        CALL_FNS + [lambda w, n: w.get_all_pods()],
        ids=CALL_IDS + ["get_all_pods"],
    )
    def test_the_same_exception_object_reaches_the_caller(self, warden, call):
        raised = ApiException(status=403, reason="Forbidden")

        class Failing:
            def __getattr__(self, name):
                def fail(*args, **kwargs):
                    raise raised

                return fail

        warden.k8s_client = Failing()
        with pytest.raises(ApiException) as info:
            call(warden, "driver")
        assert info.value is raised
