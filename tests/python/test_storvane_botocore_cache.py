"""kestro.s3.storvane: what per-task sessions and clients share, and what
they must keep to themselves."""
import inspect
import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import boto3
import pytest

from kestro.s3.storvane import Storvane

ENDPOINT = "http://127.0.0.1:9"  # nothing is sent


def make(ak="ak", sk="sk", region="us-east-1"):
    return Storvane({}, ak, sk, "b", region, endpoint_url=ENDPOINT)


EVENT = "before-call.s3.ListObjects"


def note(**kwargs):
    pass


def handlers(client):
    return list(client.meta.events._emitter._handlers.prefix_search(EVENT))


def access_key(client):
    return client._request_signer._credentials.access_key


def test_clients_keep_their_own_state():
    store = make()
    a, b = store.get_s3_client(), store.get_s3_client()
    assert a is not b
    assert a.meta.events is not b.meta.events
    assert a.meta.config is not b.meta.config
    assert a._endpoint is not b._endpoint
    # A handler added to one client is seen by no other.
    before = handlers(b)
    a.meta.events.register(EVENT, note)
    assert note in handlers(a)
    assert handlers(b) == before and note not in handlers(store.get_s3_client())


@pytest.mark.parametrize("threads", [1, 8])
def test_credentials_and_region_follow_each_instance(threads):
    stores = [make("ak%d" % i, "sk%d" % i, region) for i, region in enumerate(["us-east-1", "eu-west-1"] * 4)]
    with ThreadPoolExecutor(threads) as pool:
        clients = list(pool.map(lambda s: s.get_s3_client(), stores))
    for store, client in zip(stores, clients):
        assert access_key(client) == store.access_key
        assert client._request_signer._credentials.secret_key == store.secret_key
        assert client.meta.region_name == store.region_name
        assert client.meta.config.retries["total_max_attempts"] == 1
        assert client.meta.endpoint_url == ENDPOINT


def test_clients_made_elsewhere_are_left_alone():
    ours = make().get_s3_client()
    theirs = boto3.Session(aws_access_key_id="x", aws_secret_access_key="y", region_name="us-east-1").client(
        "s3", endpoint_url=ENDPOINT)
    assert type(theirs) is not type(ours)
    assert theirs.meta.service_model is not ours.meta.service_model
    assert theirs.meta.events._alias_name_cache is not ours.meta.events._alias_name_cache
    assert hasattr(theirs, "upload_file") and access_key(theirs) == "x"


class WithExtraMethod(Storvane):
    """A session carrying one more class-building handler than the defaults."""

    def get_s3_session(self):
        session = Storvane.get_s3_session(self)

        def add_method(class_attributes, **kwargs):
            class_attributes["extra_method"] = lambda client: "extra"

        session.events.register("creating-client-class.s3", add_method)
        return session


def test_a_session_with_other_class_handlers_gets_its_own_class():
    plain = make().get_s3_client()
    extra = WithExtraMethod({}, "ak", "sk", "b", "us-east-1", endpoint_url=ENDPOINT).get_s3_client()
    again = make().get_s3_client()
    assert extra.extra_method() == "extra"
    assert not hasattr(plain, "extra_method") and not hasattr(again, "extra_method")
    assert type(again) is type(plain)
    assert hasattr(again, "upload_file") and hasattr(again, "download_file")


class Positional:
    def __call__(self, event_name):
        pass


class Keywords:
    def __call__(self, **kwargs):
        pass


def closure(accepts):
    if accepts:
        return lambda **kwargs: None
    return lambda event_name: None


@pytest.mark.parametrize("make_handler, accepted", [
    (lambda: closure(True), True),
    (lambda: closure(False), False),
    (Positional, False),
    (Keywords, True),
    (lambda: Keywords().__call__, True),
    (lambda: Positional().__call__, False),
])
def test_handlers_without_keyword_arguments_are_still_refused(make_handler, accepted):
    class WithHandler(Storvane):
        def get_s3_session(self):
            session = Storvane.get_s3_session(self)
            session.events.register("before-call.s3.ListObjects", make_handler())
            return session

    def build():  # the constructor already makes a client
        return WithHandler({}, "ak", "sk", "b", "us-east-1", endpoint_url=ENDPOINT).get_s3_client()

    for _ in range(2):  # the second time from what the first one left behind
        if accepted:
            build()
        else:
            with pytest.raises(ValueError, match="must accept keyword arguments"):
                build()


# ---- only on the botocore releases the sharing is tested with ---------------------

TESTED = ((1, 37, 38), (1, 45))  # the oldest leg's botocore up to the newest leg's series


def in_tested_range(version):
    try:
        parts = tuple(int(p) for p in version.split("."))
    except ValueError:
        return False
    return TESTED[0] <= parts < TESTED[1]


def test_installed_botocore_decides_the_path(caplog):
    import botocore
    import botocore.hooks

    from kestro.s3 import storvane

    caplog.set_level("DEBUG", logger="django")
    a, b = make().get_s3_client(), make().get_s3_client()
    assert storvane._botocore_shared is in_tested_range(botocore.__version__)
    # shared: one generated class for every client; botocore alone makes one per client
    assert (type(a) is type(b)) is storvane._botocore_shared
    assert inspect.isfunction(botocore.hooks.accepts_kwargs) is not storvane._botocore_shared
    if storvane._botocore_shared:
        assert not [r for r in caplog.records if "outside the releases" in r.getMessage()]


FALLBACK = r"""
import inspect, json, logging, os, sys, tempfile
import botocore
botocore.__version__ = sys.argv[1]
records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append(record)
django_log = logging.getLogger("django")
django_log.setLevel(logging.DEBUG)
django_log.addHandler(Keep())
import boto3, botocore.client, botocore.hooks, botocore.regions
from kestro.s3 import storvane
sys.stdout = open(os.devnull, "w")  # local mode prints every task-log record
endpoint = sys.argv[2]
raw = boto3.client("s3", aws_access_key_id="ak", aws_secret_access_key="sk", region_name="us-east-1",
                   endpoint_url=endpoint)
raw.create_bucket(Bucket="fallback")
store = storvane.Storvane({}, "ak", "sk", "fallback", "us-east-1", endpoint_url=endpoint)
a, b = store.get_s3_client(), store.get_s3_client()
s1, s2 = store.get_s3_session(), store.get_s3_session()
work = tempfile.mkdtemp()
src = os.path.join(work, "src")
os.makedirs(os.path.join(src, "sub"))
for rel, data in {"a.csv": b"1,2\n", "sub/b.bin": os.urandom(70000)}.items():
    with open(os.path.join(src, rel), "wb") as f:
        f.write(data)
expected = {rel: open(os.path.join(src, rel), "rb").read() for rel in ("a.csv", "sub/b.bin")}
store.upload_folder(src, "fb/run", add_success=True, isdel=False)
store.download_folder(os.path.join(work, "dst"), "fb/run", isdel=False)
got = {rel: open(os.path.join(work, "dst", rel), "rb").read() for rel in expected}
sys.stdout = sys.__stdout__
print(json.dumps({
    "shared": storvane._botocore_shared,
    "same_class": type(a) is type(b),
    "same_loader": s1._loader is s2._loader,
    # botocore's own Python functions and class, none of kestro's replacements
    "originals": [inspect.isfunction(botocore.hooks.accepts_kwargs), inspect.isclass(botocore.regions.EndpointProvider),
                  inspect.isfunction(botocore.client.ClientCreator._create_client_class),
                  inspect.isfunction(botocore.client.ClientCreator._load_service_model),
                  inspect.isfunction(botocore.hooks.EventAliaser.__init__)],
    "said": [r.getMessage() for r in records if r.levelno == logging.DEBUG and "botocore" in r.getMessage()],
    "round_trip": got == expected,
}))
"""


@pytest.mark.parametrize("version", ["1.37.37", "1.45.0", "2.0.0", "1.44.0rc1"])
def test_other_releases_get_plain_sessions_and_clients(moto_endpoint, version):
    env = {k: v for k, v in os.environ.items() if k != "DJANGO_SETTINGS_MODULE"}  # local mode
    run = subprocess.run([sys.executable, "-c", FALLBACK, version, moto_endpoint], capture_output=True, text=True,
                         timeout=120, env=env)
    assert run.returncode == 0, run.stderr
    out = json.loads(run.stdout.strip().splitlines()[-1])
    assert out["shared"] is False
    assert out["same_class"] is False and out["same_loader"] is False
    assert out["originals"] == [True] * 5
    # said once, however many sessions were made
    assert len(out["said"]) == 1 and version in out["said"][0]
    assert out["round_trip"] is True


def handler_tree(session):
    """A session's handler tree, handlers named by what they run; a handler
    made for the session (bound to its own emitter) is named as such."""
    emitter = session._session._events

    def own(value):
        if isinstance(value, dict):
            return {k: own(v) for k, v in value.items()}
        return "own emitter" if value is emitter else value

    def name(handler):
        if inspect.ismethod(handler):
            return ("method", handler.__func__, type(handler.__self__))
        if inspect.isfunction(handler):
            return ("function", handler.__code__, tuple(own(c.cell_contents) for c in handler.__closure__ or ()))
        return ("object", id(handler))

    def node(n):
        values = None if n["values"] is None else tuple(tuple(map(name, v)) for v in n["values"])
        return n["chunk"], values, {k: node(c) for k, c in n["children"].items()}

    return node(emitter._emitter._handlers._root), sorted(emitter._emitter._unique_id_handlers)


def test_factory_sessions_carry_the_handlers_botocore_registers():
    store = make()
    plain = boto3.Session(aws_access_key_id="ak", aws_secret_access_key="sk", region_name="us-east-1")
    sessions = [store.get_s3_session() for _ in range(3)]
    for session in sessions:
        assert handler_tree(session) == handler_tree(plain)
    # each has its own tree: what one registers, the others do not see
    sessions[0].events.register(EVENT, note)
    assert handler_tree(sessions[1]) == handler_tree(plain)
    assert note in sessions[0]._session._events._emitter._handlers.prefix_search(EVENT)
    assert note not in sessions[2]._session._events._emitter._handlers.prefix_search(EVENT)


def test_removing_a_handler_from_one_session_leaves_the_others_alone():
    import botocore.handlers

    store = make()
    a, b = store.get_s3_session(), store.get_s3_session()
    event, handler = next(spec[:2] for spec in botocore.handlers.BUILTIN_HANDLERS
                          if len(spec) == 2 and spec[0].startswith("before-parameter-build.s3."))

    def registered(session):
        return handler in session._session._events._emitter._handlers.prefix_search(event)

    assert registered(a) and registered(b)
    a.events.unregister(event, handler)
    assert not registered(a) and registered(b)
    assert handler_tree(store.get_s3_session()) == handler_tree(b)
    # a copy of a session's emitter (what each client gets) is as separate
    c = b.client("s3")
    c.meta.events.unregister(event, handler)
    c.meta.events.register(EVENT, note)
    assert handler not in c.meta.events._emitter._handlers.prefix_search(event)
    assert registered(b) and note not in b._session._events._emitter._handlers.prefix_search(EVENT)
    assert handler_tree(store.get_s3_session()) == handler_tree(b)
