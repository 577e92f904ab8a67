"""kestro.s3.storvane: a file task's own session and client are freed as
soon as the task is done with them, by reference counting alone; what a
replaced factory returns is left as it is."""
import contextlib
import gc
import threading
import types
import weakref

import boto3
import pytest

from kestro.common.defines import Et
from kestro.s3 import storvane
from servers.s3_store import bucket, keys_of, s3, store  # noqa: F401 (fixtures)

pytestmark = pytest.mark.skipif(not storvane._botocore_shared,
                                reason="only on the botocore releases the sharing is tested with")


class Made:
    """boto3 as the module sees it, with a Session that notes, weakly, every
    client it makes and the parts the cycles of a session and client run
    through; `workers` leaves out what the test's own thread makes (the
    transfers' listing and emptying)."""

    def __init__(self, monkeypatch, workers):
        self.clients, self.parts = [], []
        made = self

        class Session(boto3.Session):
            def client(self, *args, **kwargs):
                client = super().client(*args, **kwargs)
                if not workers or threading.current_thread() is not threading.main_thread():
                    made.clients.append(weakref.ref(client))
                    made.parts += [weakref.ref(o) for o in (self, self._session, client.meta.events, client._endpoint)]
                return client

        monkeypatch.setattr(storvane, "boto3", types.SimpleNamespace(Session=Session))

    @staticmethod
    def alive(refs):
        return [r() for r in refs if r() is not None]


@contextlib.contextmanager
def collector_paused():
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "data"
    (root / "sub").mkdir(parents=True)
    for rel in ("a.csv", "b.csv", "sub/c.csv"):
        (root / rel).write_bytes(b"x" * 100)
    return root


def test_transfers_free_each_task_session_and_client(store, s3, bucket, tree, tmp_path, monkeypatch, task_ctx,
                                                      fast_sleep):
    made = Made(monkeypatch, workers=True)
    with collector_paused():
        store.upload_folder(str(tree), "out", max_workers=2, isdel=False)
        assert len(made.clients) == 3
        assert made.alive(made.clients + made.parts) == []
        store.download_folder(str(tmp_path / "back"), "out", max_workers=2, isdel=False)
        assert len(made.clients) == 6
        assert made.alive(made.clients + made.parts) == []
    assert keys_of(s3, bucket) == ["out/a.csv", "out/b.csv", "out/sub/c.csv"]
    assert (tmp_path / "back" / "sub" / "c.csv").read_bytes() == b"x" * 100


def test_failed_task_frees_its_session_and_reports(store, tree, monkeypatch, task_ctx, fast_sleep):
    store.bucket = "no-such-bucket"
    local = str(tree / "a.csv")
    made = Made(monkeypatch, workers=False)
    with collector_paused():
        with pytest.raises(Et) as info:
            store._upload_i("out/a.csv", local, 2)
        # The error's traceback keeps what its frames name (the client, its
        # emitter, its endpoint) until it goes, as any error does; the
        # sessions are freed, the emitter is emptied.
        assert len(made.clients) == 1
        sessions = made.parts[:2]
        assert made.alive(sessions) == []
        events = made.parts[2]()
        assert events is None or vars(events) == {}
    cause = info.value.__context__
    assert (info.value.state, info.value.getmsg()) == (2, "upload fail out/a.csv " + local)
    assert "NoSuchBucket" in str(cause)
    assert [line[0] for line in task_ctx.lines()] == [
        local + " upload  fail, repeat 0, error: " + str(cause),
        local + " upload  fail, repeat 1, error: " + str(cause),
        local + " upload  finally fail: " + str(cause),
    ]


class CachedClient(storvane.Storvane):
    """One client for every call, made once by Storvane's own factory."""

    def get_s3_client(self):
        self.__dict__.setdefault("made", []).append("client")
        if "_client" not in self.__dict__:
            self._client = super().get_s3_client()
        return self._client


class OwnSession(storvane.Storvane):
    """Keeps every session it hands out."""

    def get_s3_session(self):
        session = super().get_s3_session()
        self.__dict__.setdefault("made", []).append(session)
        return session


@pytest.mark.parametrize("cls", [CachedClient, OwnSession])
def test_what_replaced_factories_return_is_left_intact(cls, s3, bucket, moto_endpoint, tree, task_ctx,
                                                       fast_sleep):
    store = cls(task_ctx, "ak", "sk", bucket, "us-east-1", endpoint_url=moto_endpoint)
    store.made = []
    store.upload_folder(str(tree), "out", max_workers=1, isdel=False)
    store.upload_folder(str(tree), "again", max_workers=2, isdel=False)
    assert len(store.made) >= 6  # every file task went through the replacement
    if cls is OwnSession:
        assert all(vars(session._session) and vars(session._session._events) for session in store.made)
    client = store.get_s3_client()
    client.put_object(Bucket=bucket, Key="last", Body=b"x")
    assert len(keys_of(s3, bucket)) == 7
