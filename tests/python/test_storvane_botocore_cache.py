"""kestro.s3.storvane: what per-task sessions and clients share, and what
they must keep to themselves."""
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
