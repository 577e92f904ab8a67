"""kestro.s3.storvane: its sessions and clients against plain boto3's, who
makes which client in a folder transfer, and botocore and boto3 left as
they are by importing and using kestro."""
import gc
import json
import os
import subprocess
import sys
import threading
import weakref

import boto3
import botocore.session
import pytest

from kestro.s3 import storvane
from kestro.s3.storvane import Storvane
from servers.s3_store import REGION, bucket, keys_of, s3, store  # noqa: F401 (fixtures)

CONFIG_FILE = """\
[default]
region = eu-central-1
retry_mode = adaptive
s3 =
    addressing_style = path
"""


@pytest.fixture
def botocore_sessions(monkeypatch):
    """Every botocore session made while the test runs (boto3's own and
    kestro's), through the public get_session."""
    made = []
    real = botocore.session.get_session

    def get_session(*args, **kwargs):
        session = real(*args, **kwargs)
        made.append(session)
        return session

    monkeypatch.setattr(botocore.session, "get_session", get_session)
    return made


def facts(session, client):
    """What a caller can see of a session and its client."""
    config = client.meta.config
    credentials = session.get_credentials()
    return {
        "region": session.region_name,
        "credentials": (credentials.access_key, credentials.secret_key),
        "resources": session.get_available_resources(),
        "services": len(session.get_available_services()),
        "client_region": client.meta.region_name,
        "endpoint": client.meta.endpoint_url,
        "operations": client.meta.service_model.operation_names,
        "paginates": client.can_paginate("list_objects_v2"),
        "waiters": client.waiter_names,
        "config": (config.retries, config.s3, config.connect_timeout, config.read_timeout,
                   config.max_pool_connections),
    }


@pytest.mark.parametrize("region", ["us-east-1", None])
def test_sessions_and_clients_are_plain_boto3_ones(tmp_path, monkeypatch, botocore_sessions, region):
    path = tmp_path / "config"
    path.write_text(CONFIG_FILE)
    monkeypatch.setenv("AWS_CONFIG_FILE", str(path))
    monkeypatch.setenv("AWS_MAX_ATTEMPTS", "4")
    endpoint = "http://127.0.0.1:9"  # nothing is sent
    plain = boto3.Session(aws_access_key_id="ak", aws_secret_access_key="sk", region_name=region)
    ours = Storvane({}, "ak", "sk", "b", region, endpoint_url=endpoint)
    plain_facts = facts(plain, plain.client("s3", config=ours.get_s3_config(), endpoint_url=endpoint))
    for _ in range(3):
        session = ours.get_s3_session()
        assert facts(session, session.client("s3", config=ours.get_s3_config(), endpoint_url=endpoint)) == plain_facts
    client = ours.get_s3_client()
    assert client.meta.config.retries == plain_facts["config"][0]
    assert ours.get_s3_resource().meta.client.meta.service_model.operation_names == plain_facts["operations"]
    # kestro's sessions share one model loader, searched exactly as a plain one
    loaders = [s.get_component("data_loader") for s in botocore_sessions]
    plain_loader = loaders.pop(0)
    assert len(loaders) >= 5 and all(loader is loaders[0] for loader in loaders)
    assert loaders[0] is not plain_loader and loaders[0].search_paths == plain_loader.search_paths


def test_a_data_path_setting_gets_its_own_loader(tmp_path, monkeypatch, botocore_sessions):
    store = Storvane({}, "ak", "sk", "b", "us-east-1")
    store.get_s3_session()
    monkeypatch.setenv("AWS_DATA_PATH", str(tmp_path))
    store.get_s3_session()
    store.get_s3_session()
    first, second, third = (s.get_component("data_loader") for s in botocore_sessions[-3:])
    assert first is not second and second is third
    assert second.search_paths[0] == str(tmp_path) and str(tmp_path) not in first.search_paths


class RecordingSession(boto3.session.Session):
    """boto3's Session noting the clients it makes, on which thread, and
    their closing."""

    clients = []

    def client(self, *args, **kwargs):
        client = super().client(*args, **kwargs)
        entry = {"thread": threading.current_thread(), "pool": client.meta.config.max_pool_connections,
                 "closed": False, "client": weakref.ref(client)}
        real_close = client.close

        def close():
            entry["closed"] = True
            real_close()

        client.close = close
        RecordingSession.clients.append(entry)
        return client


@pytest.fixture
def recording(monkeypatch):
    RecordingSession.clients = []
    monkeypatch.setattr(boto3, "Session", RecordingSession)
    return RecordingSession.clients


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "data"
    (root / "sub").mkdir(parents=True)
    for i in range(6):
        (root / ("sub" if i % 2 else "") / ("f%d.csv" % i)).write_bytes(b"%d" % i * 100)
    return root


def worker_clients(recording):
    return [c for c in recording if c["thread"] is not threading.main_thread()]


@pytest.mark.parametrize("workers", [2, 3])
def test_own_factories_share_one_client_per_call(store, s3, bucket, tree, tmp_path, recording, task_ctx,
                                                 fast_sleep, workers):
    # past the managed transfer's multipart threshold: parts go over the call's shared manager
    (tree / "sub" / "big.bin").write_bytes(os.urandom(9 << 20))
    threads = threading.active_count()
    store.upload_folder(str(tree), "out", add_success=True, max_workers=workers, isdel=False)
    store.download_folder(str(tmp_path / "back"), "out", max_workers=workers, isdel=False)
    assert threading.active_count() == threads  # the shared manager's threads ended with each call
    assert keys_of(s3, bucket) == sorted(["out/_SUCCESS"] + ["out/" + str(p.relative_to(tree))
                                                             for p in tree.rglob("*.*")])
    for p in tree.rglob("*.*"):
        assert (tmp_path / "back" / p.relative_to(tree)).read_bytes() == p.read_bytes()
    # one client for each call's tasks, made on the calling thread, its pool
    # the ten connections each task's own client would have
    shared = [c for c in recording if c["pool"] == 10 * workers]
    assert len(shared) == 2 and not worker_clients(recording)
    assert all(c["closed"] for c in shared)
    gc.collect()
    assert all(c["client"]() is None for c in recording)  # nothing keeps them
    successes = [line[0] for line in task_ctx.lines() if " success, sub time " in line[0]]
    assert len(successes) == 7 + 8  # the download takes the marker too


class OwnClient(Storvane):
    def get_s3_client(self):
        return super().get_s3_client()


class OwnSession(Storvane):
    def get_s3_session(self):
        return super().get_s3_session()


class OwnConfig(Storvane):
    def get_s3_config(self):
        return super().get_s3_config()


class OwnTask(Storvane):
    def _upload_i(self, remote_file, local_file, retry_count):
        return super()._upload_i(remote_file, local_file, retry_count)


@pytest.mark.parametrize("cls", [OwnClient, OwnSession, OwnConfig, OwnTask, "instance"])
def test_a_replaced_factory_sees_one_client_per_file_task(cls, s3, bucket, moto_endpoint, tree, recording,
                                                          task_ctx, fast_sleep):
    store = (Storvane if cls == "instance" else cls)(task_ctx, "ak", "sk", bucket, REGION, endpoint_url=moto_endpoint)
    if cls == "instance":
        own = store.get_s3_client
        store.get_s3_client = lambda: own()
    store.upload_folder(str(tree), "out", max_workers=2, isdel=False)
    assert len(keys_of(s3, bucket)) == 6
    made = worker_clients(recording)
    assert len(made) == 6 and all(c["pool"] == 10 for c in made)
    # closed when the task was done with it, unless a replaced get_s3_client made it
    assert all(c["closed"] is (cls not in (OwnClient, "instance")) for c in made)


def test_a_failing_file_keeps_its_errors_on_a_shared_client(store, s3, bucket, tree, recording, task_ctx,
                                                            fast_sleep, monkeypatch):
    # the file disappears between the listing and its task
    bad = tree / "sub" / "f1.csv"
    real_clog = storvane.BMOBJ.clog

    def clog(ctx, *values):
        if str(values[0]).startswith("upload file info"):
            bad.unlink()
        return real_clog(ctx, *values)

    monkeypatch.setattr(storvane.BMOBJ, "clog", clog)
    with pytest.raises(storvane.Et) as info:
        store.upload_folder(str(tree), "out", max_workers=1, retry_count=2, isdel=False)
    assert info.value.getmsg() == "upload fail out/sub/f1.csv " + str(bad)
    texts = [line[0] for line in task_ctx.lines()]
    failures = [t for t in texts if t.startswith(str(bad))]
    assert [t.split(", error: ")[0] for t in failures[:2]] == [
        str(bad) + " upload  fail, repeat %d" % i for i in range(2)]
    assert failures[2].startswith(str(bad) + " upload  finally fail: ") and "No such file" in failures[2]
    # the other files went over the same client, no task made its own
    assert "out/sub/f1.csv" not in keys_of(s3, bucket)
    assert set(keys_of(s3, bucket)) <= {"out/f0.csv", "out/f2.csv", "out/f4.csv", "out/sub/f3.csv", "out/sub/f5.csv"}
    assert not worker_clients(recording)


def test_a_file_task_called_directly_closes_and_frees_its_client(store, tree, recording, task_ctx, fast_sleep):
    recording.clear()
    store._upload_i("k/f0.csv", str(tree / "f0.csv"), 1)
    [made] = recording
    assert made["closed"] is True
    gc.collect()
    assert made["client"]() is None


# ---- botocore and boto3 as they are ------------------------------------------------

PROBE = r"""
import inspect, json, os, sys, tempfile
import boto3, boto3.s3.transfer, boto3.session, boto3.utils, botocore, botocore.client, botocore.config
import botocore.configprovider, botocore.handlers, botocore.hooks, botocore.loaders, botocore.regions
import botocore.session, s3transfer.manager

after_values = {}

def snapshot():
    out = {}
    for name, module in sorted(sys.modules.items()):
        if name.split(".")[0] not in ("boto3", "botocore", "s3transfer") or module is None:
            continue
        for attr, value in list(vars(module).items()):
            out[name + "." + attr] = id(value)
            after_values[name + "." + attr] = value
            if inspect.isclass(value) and value.__module__ == name:
                for member, inner in list(vars(value).items()):
                    out[name + "." + attr + "." + member] = id(inner)
    return out

endpoint, use_kestro = sys.argv[1], sys.argv[2] == "1"
before = snapshot()
raw = boto3.client("s3", aws_access_key_id="ak", aws_secret_access_key="sk", region_name="us-east-1",
                   endpoint_url=endpoint)
bucket = "probe-" + os.urandom(6).hex()
raw.create_bucket(Bucket=bucket)
work = tempfile.mkdtemp()
src = os.path.join(work, "src")
os.makedirs(os.path.join(src, "sub"))
for rel in ("a.csv", "sub/b.csv"):
    with open(os.path.join(src, rel), "wb") as f:
        f.write(rel.encode() * 1000)
if use_kestro:
    sys.stdout = open(os.devnull, "w")  # local mode prints every task-log record
    from kestro.s3.storvane import Storvane
    store = Storvane({}, "ak", "sk", bucket, "us-east-1", endpoint_url=endpoint)
    store.upload_folder(src, "k", add_success=True, isdel=False)
    store.download_folder(os.path.join(work, "k"), "k", isdel=False)
    store.delete_folder("k"), store.is_exists("k/a.csv")
    sys.stdout = sys.__stdout__
else:  # the same work with boto3 alone
    own = boto3.Session(aws_access_key_id="ak", aws_secret_access_key="sk", region_name="us-east-1")
    other = own.client("s3", endpoint_url=endpoint)
    for rel in ("a.csv", "sub/b.csv"):
        other.upload_file(os.path.join(src, rel), bucket, "k/" + rel)
    other.upload_fileobj(open(os.path.join(src, "a.csv"), "rb"), bucket, "k/_SUCCESS")
    pages = other.get_paginator("list_objects_v2").paginate(Bucket=bucket, Prefix="k")
    for key in [e["Key"] for page in pages for e in page["Contents"]]:
        other.download_file(bucket, key, os.path.join(work, key.replace("/", "_")))
    config = botocore.config.Config(retries={"max_attempts": 0})  # merged with boto3's own, as kestro's is
    own.resource("s3", endpoint_url=endpoint, config=config).Bucket(bucket).objects.filter(Prefix="k").delete()
after = snapshot()
# a plain session and client, used after kestro (or alone)
session = boto3.Session(aws_access_key_id="ak", aws_secret_access_key="sk", region_name="us-east-1")
client = session.client("s3", endpoint_url=endpoint)
client.upload_file(os.path.join(src, "a.csv"), bucket, "plain/a.csv")
client.download_file(bucket, "plain/a.csv", os.path.join(work, "plain.csv"))
core = botocore.session.get_session()
print(json.dumps({
    "changed": sorted(k for k in before if k in after and before[k] != after[k]),
    "added": sorted(k for k in after if k not in before and not inspect.ismodule(after_values.get(k))),
    "facts": {
        "class": [type(client).__name__, type(client).__module__, type(session).__module__],
        "operations": len(client.meta.service_model.operation_names),
        "retries": client.meta.config.retries,
        "resources": session.get_available_resources(),
        "search_paths": core.get_component("data_loader").search_paths,
        "round_trip": open(os.path.join(work, "plain.csv"), "rb").read() == b"a.csv" * 1000,
    },
}))
"""


def run_probe(endpoint, use_kestro):
    env = {k: v for k, v in os.environ.items() if k != "DJANGO_SETTINGS_MODULE"}  # local mode
    run = subprocess.run([sys.executable, "-c", PROBE, endpoint, "1" if use_kestro else "0"], capture_output=True,
                         text=True, timeout=240, env=env)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout.strip().splitlines()[-1])


def test_importing_and_using_kestro_leaves_botocore_and_boto3_alone(moto_endpoint):
    with_kestro, without = run_probe(moto_endpoint, True), run_probe(moto_endpoint, False)
    # no attribute of a botocore, boto3 or s3transfer module or of one of their classes was replaced or
    # added beyond what the same work does with boto3 alone
    assert with_kestro["changed"] == without["changed"]
    assert set(with_kestro["added"]) <= set(without["added"])
    assert with_kestro["facts"] == without["facts"]
    assert with_kestro["facts"]["round_trip"] is True
