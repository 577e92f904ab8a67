"""Every module absorbs only ordinary errors (Exception subclasses): an
interrupt raised inside a step that would otherwise be retried, logged or
replaced by a fallback ends the call at once, and a final failure keeps the
error that caused it as its context."""
import types

import pytest

from kestro.common import defines
from kestro.common.defines import BMOBJ, Et
from kestro.quorel.quorel import ThinkDataQuery
from kestro.s3.storvane import Storvane
from servers.oss_fixtures import client, oss, oss_server_session, work_folders  # noqa: F401


class Raising:
    """A stand-in for an SDK object whose every call raises a new error made
    by `make` and remembers it."""

    def __init__(self, make):
        self.make, self.raised = make, []

    def __getattr__(self, name):
        def call(*args, **kwargs):
            self.raised.append(self.make())
            raise self.raised[-1]

        return call


@pytest.fixture
def store():
    return Storvane({}, "ak", "sk", "bucket1", "r", endpoint_url="http://127.0.0.1:9")  # nothing is sent


def oss_worker(client, direction, fake):  # noqa: F811
    client.bucket = fake
    client.retry_time_sleep = 3
    return getattr(client, "_%s_oss" % direction)


def s3_worker(store, direction, fake):
    store.get_s3_client = lambda: fake
    task = getattr(store, "_%s_i" % direction)
    return lambda ctx, remote, local: task(remote, local, 3)


WORKERS = [("oss", "upload"), ("oss", "download"), ("s3", "upload"), ("s3", "download")]


@pytest.mark.parametrize("kind, direction", WORKERS)
def test_interrupted_attempt_is_neither_retried_nor_logged(client, store, local_mode, fast_sleep, capsys,  # noqa: F811
                                                            tmp_path, kind, direction):
    fake = Raising(KeyboardInterrupt)
    make = oss_worker if kind == "oss" else s3_worker
    worker = make(client if kind == "oss" else store, direction, fake)
    with pytest.raises(KeyboardInterrupt):
        worker({}, "k.csv", str(tmp_path / "f.csv"))
    assert len(fake.raised) == 1 and fast_sleep.calls == [] and capsys.readouterr().out == ""


@pytest.mark.parametrize("kind, direction", WORKERS)
def test_final_failure_keeps_the_last_attempts_error(client, store, local_mode, fast_sleep, capsys,  # noqa: F811
                                                      tmp_path, kind, direction):
    fake = Raising(lambda: OSError("attempt %d" % len(fake.raised)))
    make = oss_worker if kind == "oss" else s3_worker
    worker = make(client if kind == "oss" else store, direction, fake)
    with pytest.raises(Et) as info:
        worker({}, "k.csv", str(tmp_path / "f.csv"))
    assert len(fake.raised) == 3
    assert info.value.__context__ is fake.raised[-1]
    assert info.value.state == 2 and info.value.getmsg().startswith(direction + " fail ")


class Interrupting:
    def __str__(self):
        raise KeyboardInterrupt

    def __fspath__(self):
        raise KeyboardInterrupt


class TestDefinesFallbacks:
    def test_log_value_fallback_is_for_ordinary_errors_only(self, local_mode, fast_sleep):
        with pytest.raises(KeyboardInterrupt):
            BMOBJ.clog({}, "x", Interrupting())
        assert fast_sleep.calls == []

    def test_silent_removal_does_not_swallow_interrupts(self):
        with pytest.raises(KeyboardInterrupt):
            BMOBJ.remove_file(Interrupting())
        with pytest.raises(KeyboardInterrupt):
            BMOBJ.remove_folder(Interrupting())

    def test_jsonloads_lets_interrupts_through(self, monkeypatch):
        def loads(data):
            raise KeyboardInterrupt

        # swallowed, the literal reading would answer [1]
        monkeypatch.setattr(defines, "json", types.SimpleNamespace(loads=loads))
        with pytest.raises(KeyboardInterrupt):
            BMOBJ.jsonloads("[1]")


def test_presto_query_is_not_retried_after_an_interrupt(monkeypatch, local_mode, fast_sleep, capsys):
    q = ThinkDataQuery("http://127.0.0.1:9/querySql", "tok")
    attempts = []

    def attempt(*args):
        attempts.append(args)
        raise KeyboardInterrupt("Read timed out")  # worded like the time-out that is retried

    q.get_data_raw_pyhive_i = attempt
    with pytest.raises(KeyboardInterrupt):
        q.get_data_raw_pyhive({}, "select 1", retry_count=5)
    assert len(attempts) == 1 and "retry" not in capsys.readouterr().out
