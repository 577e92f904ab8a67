"""kestro.s3.storvane: the configuration table of the factories' sessions
(chains built on first lookup), their handler trees and their boto3
handlers, checked against botocore's own behaviour."""
import copy
import random

import boto3
import botocore.configprovider as cp
import botocore.hooks
import pytest

from kestro.s3 import storvane
from kestro.s3.storvane import Storvane

pytestmark = pytest.mark.skipif(not storvane._botocore_shared, reason="botocore release outside the tested ones")

ENDPOINT = "http://127.0.0.1:9"  # nothing is sent

CONFIG_FILE = """\
[default]
region = eu-central-1
retry_mode = adaptive
max_attempts = 7
s3 =
    addressing_style = path
    use_accelerate_endpoint = true
[profile other]
region = ap-south-1
"""


def make(region="us-east-1"):
    return Storvane({}, "ak", "sk", "b", region, endpoint_url=ENDPOINT)


def plain_session(region="us-east-1"):
    return boto3.Session(aws_access_key_id="ak", aws_secret_access_key="sk", region_name=region)


def store_of(session):
    return session._session.get_component("config_store")


def names():
    return list(cp.BOTOCORE_DEFAUT_SESSION_VARIABLES) + ["s3", "proxies_config"]


def describe(provider, session):
    """A provider as its structure; the session it reads is checked, not named."""
    state = dict(vars(provider)) if hasattr(provider, "__dict__") else {}
    out = [type(provider).__name__]
    for key, value in sorted(state.items()):
        if key == "_session":
            assert value is session
            out.append((key, "own session"))
        elif key == "_providers":
            out.append((key, [describe(p, session) for p in value]))
        elif key == "_override_providers":
            out.append((key, {k: describe(p, session) for k, p in value.items()}))
        elif key == "_scoped_config_provider":
            out.append((key, describe(value, session)))
        elif key == "_env":
            out.append((key, "os.environ" if value is __import__("os").environ else value))
        else:
            out.append((key, value))
    return out


@pytest.fixture
def config_env(tmp_path, monkeypatch):
    path = tmp_path / "config"
    path.write_text(CONFIG_FILE)
    monkeypatch.setenv("AWS_CONFIG_FILE", str(path))
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", str(tmp_path / "none"))
    monkeypatch.setenv("AWS_MAX_ATTEMPTS", "3")
    monkeypatch.setenv("AWS_S3_US_EAST_1_REGIONAL_ENDPOINT", "regional")
    monkeypatch.delenv("AWS_PROFILE", raising=False)
    monkeypatch.delenv("AWS_DEFAULT_PROFILE", raising=False)
    return monkeypatch


def test_every_variable_reads_as_botocore_reads_it(config_env):
    ours, theirs = make(None).get_s3_session(), plain_session(None)
    for s in (ours, theirs):
        s._session.set_config_variable("ca_bundle", "/kestro/ca.pem")
    assert type(store_of(ours)._mapping) is not dict and type(store_of(theirs)._mapping) is dict
    for name in names():
        assert ours._session.get_config_variable(name) == theirs._session.get_config_variable(name), name
    # the file, the environment and the instance variable each won somewhere
    assert ours._session.get_config_variable("region") == "eu-central-1"
    assert ours._session.get_config_variable("max_attempts") == 3
    assert ours._session.get_config_variable("ca_bundle") == "/kestro/ca.pem"
    assert ours._session.get_config_variable("s3") == {
        "addressing_style": "path", "use_accelerate_endpoint": True, "us_east_1_regional_endpoint": "regional"}
    # the environment is read when asked, not when the session was made
    config_env.setenv("AWS_RETRY_MODE", "standard")
    assert ours._session.get_config_variable("retry_mode") == "standard"
    ours._session.set_config_variable("profile", "other")
    theirs._session.set_config_variable("profile", "other")
    assert ours._session.get_config_variable("region") == theirs._session.get_config_variable("region") == "ap-south-1"


def test_each_chain_is_the_one_botocore_builds(config_env):
    ours, theirs = make().get_s3_session(), plain_session()
    a, b = store_of(ours), store_of(theirs)
    for name in names():
        assert describe(a.get_config_provider(name), ours._session) == \
            describe(b.get_config_provider(name), theirs._session), name
        # built once: the same provider on every lookup
        assert a.get_config_provider(name) is a.get_config_provider(name)
    # walking the table gives botocore's names in botocore's order
    assert list(a._mapping) == list(b._mapping) and len(a._mapping) == len(b._mapping)
    assert "no_such_variable" not in a._mapping and a.get_config_variable("no_such_variable") is None
    with pytest.raises(KeyError, match="no_such_variable"):
        a._mapping["no_such_variable"]


def test_providers_are_shared_only_when_they_read_nothing_of_their_session(config_env):
    one, two = store_of(make().get_s3_session()), store_of(make().get_s3_session())
    chain_one, chain_two = one.get_config_provider("retry_mode"), two.get_config_provider("retry_mode")
    assert chain_one is not chain_two and chain_one._providers is not chain_two._providers
    shared = [p for p, q in zip(chain_one._providers, chain_two._providers) if p is q]
    assert {type(p) for p in shared} == {cp.EnvironmentProvider, cp.ConstantProvider}
    # a provider of a mutable default stays each session's own; its value is
    # shared exactly when botocore shares it
    assert one.get_config_variable("api_versions") == {}
    assert one.get_config_provider("api_versions")._providers[-1] is not \
        two.get_config_provider("api_versions")._providers[-1]
    plain_one, plain_two = store_of(plain_session()), store_of(plain_session())
    assert (one.get_config_variable("api_versions") is two.get_config_variable("api_versions")) == \
        (plain_one.get_config_variable("api_versions") is plain_two.get_config_variable("api_versions"))
    # replacing one chain's default leaves the other's alone
    chain_one.set_default_provider(cp.ConstantProvider("changed"))
    config_env.delenv("AWS_RETRY_MODE", raising=False)
    assert one.get_config_variable("retry_mode") == "adaptive"  # the file still wins
    default = store_of(plain_session()).get_config_provider("retry_mode")._providers[-1].provide()
    assert default != "changed" and two.get_config_provider("retry_mode")._providers[-1].provide() == default


def test_copies_behave_as_copies_of_botocore_stores(config_env):
    ours, theirs = store_of(make().get_s3_session()), store_of(plain_session())
    for store in (ours, theirs):
        store.set_config_variable("region", "override-1")
        store.get_config_provider("retry_mode")
    pairs = [(copy.copy(ours), copy.copy(theirs))]
    before = ours.get_config_provider("retry_mode")
    assert pairs[0][0].get_config_provider("retry_mode") is before
    # a chain first built through either side is the same object in both
    later = next(n for n in cp.BOTOCORE_DEFAUT_SESSION_VARIABLES
                 if n not in ours._mapping._made and n not in ours._overrides)
    built_later = pairs[0][0].get_config_provider(later)
    assert built_later is not None and ours.get_config_provider(later) is built_later
    for copied, plain in pairs:
        assert type(copied._mapping) is type(ours._mapping)
        assert copied.get_config_variable("region") == plain.get_config_variable("region") == "override-1"
    # each side's own assignments stay its own
    replacement = cp.ConstantProvider("replaced")
    pairs[0][0].set_config_provider("retry_mode", replacement)
    assert pairs[0][0].get_config_variable("retry_mode") == "replaced"
    assert ours.get_config_provider("retry_mode") is before
    ours.set_config_provider("new_variable", cp.ConstantProvider(1))
    assert "new_variable" not in pairs[0][0]._mapping and ours.get_config_variable("new_variable") == 1
    assert list(ours._mapping)[-1] == "new_variable"
    # a deep copy is a plain store of deep-copied providers
    deep = copy.deepcopy(ours)
    assert type(deep._mapping) is dict and list(deep._mapping) == list(ours._mapping)
    assert deep.get_config_provider(later) is not built_later
    for name in names():
        assert deep.get_config_variable(name) == ours.get_config_variable(name), name


def test_smart_defaults_and_clients_see_the_same_values(config_env):
    results = []
    for session in (make().get_s3_session(), plain_session()):
        store = copy.copy(store_of(session))
        factory = session._session._get_internal_component("smart_defaults_factory")
        factory.merge_smart_defaults(store, "standard", "us-east-1")
        client = session.client("s3", endpoint_url=ENDPOINT)
        results.append((
            [store.get_config_variable(n) for n in ("retry_mode", "connect_timeout", "sts_regional_endpoints")],
            store.get_config_variable("s3"),
            client.meta.config.retries, client.meta.config.s3, client.meta.region_name))
    assert results[0] == results[1]


def test_deleting_a_name_then_works_as_on_a_dict():
    ours, theirs = store_of(make().get_s3_session())._mapping, store_of(plain_session())._mapping
    for table in (ours, theirs):
        del table["retry_mode"]
        table["retry_mode"] = cp.ConstantProvider("x")
    assert list(ours) == list(theirs) and list(ours)[-1] == "retry_mode"
    with pytest.raises(KeyError):
        del ours["no_such_variable"]


def test_changed_tables_give_plain_stores(monkeypatch):
    extra = dict(cp.BOTOCORE_DEFAUT_SESSION_VARIABLES)
    extra["kestro_test_variable"] = ("kestro_test_variable", "KESTRO_TEST_VARIABLE", "fallback", None)
    monkeypatch.setattr(cp, "BOTOCORE_DEFAUT_SESSION_VARIABLES", extra)
    store = store_of(make().get_s3_session())
    assert type(store._mapping) is dict
    assert store.get_config_variable("kestro_test_variable") == "fallback"
    monkeypatch.undo()
    assert type(store_of(make().get_s3_session())._mapping) is not dict


# ---- handler trees ---------------------------------------------------------


def structure(node, name=lambda handler: handler):
    values = None if node["values"] is None else tuple(tuple(map(name, v)) for v in node["values"])
    return node["chunk"], values, {k: structure(c, name) for k, c in node["children"].items()}


def by_code(handler):
    """Functions by their code: a closure over the session is made per session."""
    return getattr(handler, "__code__", handler)


KEYS = ["before-call.s3.PutObject", "before-call.s3", "before-call", "before-call.*.GetObject", "needs-retry.s3",
        "kestro-test.a.b.c", "kestro-test.a", "creating-client-class.s3"]


@pytest.mark.parametrize("seed", range(6))
def test_shared_trees_change_as_plain_trees(seed):
    """Random appends (every section), removals and copies on a tree shared
    with the kept one, against botocore's own trie doing the same."""
    rng = random.Random(seed)
    kept_owner = make().get_s3_session()._session._events._emitter._handlers
    assert type(kept_owner) is not botocore.hooks._PrefixTrie
    kept_before = structure(kept_owner._root)
    fresh_before = structure(make().get_s3_session()._session._events._emitter._handlers._root, by_code)
    plain_base = botocore.hooks._PrefixTrie()
    plain_base.__dict__ = plain_base._recursive_copy({"_root": kept_owner._root})
    assert type(plain_base._root["values"]) is not botocore.hooks.NodeList or \
        plain_base._root["values"].first is not kept_owner._root["values"].first
    ours, theirs = [copy.copy(kept_owner)], [copy.copy(plain_base)]
    handlers = [object() for _ in range(6)]
    for _ in range(60):
        i = rng.randrange(len(ours))
        step = rng.random()
        if step < 0.55:
            key, value, section = rng.choice(KEYS), rng.choice(handlers), rng.randrange(3)
            ours[i].append_item(key, value, section=section)
            theirs[i].append_item(key, value, section)
        elif step < 0.85:
            key = rng.choice(KEYS)
            present = [v for v in theirs[i].prefix_search(key) if v in handlers]
            value = rng.choice(present) if present else rng.choice(handlers)
            outcome = []
            for trie in (ours[i], theirs[i]):
                try:
                    trie.remove_item(key, value)
                    outcome.append(None)
                except (ValueError, TypeError, AttributeError) as e:
                    outcome.append(type(e))
            assert outcome[0] == outcome[1]
        else:
            ours.append(copy.copy(ours[i]))
            theirs.append(copy.copy(theirs[i]))
        for a, b in zip(ours, theirs):
            assert structure(a._root) == structure(b._root)
            for key in KEYS:
                assert list(a.prefix_search(key)) == list(b.prefix_search(key))
    # neither the kept tree nor another session's saw any of it
    assert structure(kept_owner._root) == kept_before
    assert structure(make().get_s3_session()._session._events._emitter._handlers._root, by_code) == fresh_before


def test_lazy_handlers_for_a_name_are_shared_and_the_others_are_not():
    a, b = make().get_s3_session(), make().get_s3_session()
    plain = plain_session()

    def found(session, event):
        return list(session._session._events._emitter._handlers.prefix_search(event))

    bucket = "creating-resource-class.s3.Bucket"
    assert len(found(a, bucket)) == len(found(plain, bucket)) >= 1
    assert [h.__code__ for h in found(a, bucket)] == [h.__code__ for h in found(plain, bucket)]
    assert found(a, bucket) == found(b, bucket)
    assert found(a, bucket)[0] is not found(plain, bucket)[0]  # sessions made elsewhere keep their own
    # one made with the session's own emitter stays that session's
    instance = "creating-resource-class.ec2.Instance"
    mine = [h for h in found(a, instance) if h not in found(b, instance)]
    def closed_over(handler):
        for cell in handler.__closure__ or ():
            value = cell.cell_contents
            yield from value.values() if isinstance(value, dict) else [value]

    assert mine and all(any(v is a.events for v in closed_over(h)) for h in mine)
