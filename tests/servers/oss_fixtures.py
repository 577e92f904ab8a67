"""Fixtures of the OSS tests: one OSS protocol server per session, emptied
for every test, and clients bound to its bucket."""
import os

import pytest

from servers.oss_server import OssServer


@pytest.fixture(scope="session")
def oss_server_session():
    with OssServer() as server:
        yield server


@pytest.fixture
def oss(oss_server_session):
    """The OSS server, empty, with no faults and no recorded requests."""
    oss_server_session.clear()
    yield oss_server_session
    oss_server_session.clear()


@pytest.fixture
def client(oss):
    from kestro.oss.oss import AliyunOss

    return AliyunOss("bucket1", "AKID-test", "SECRET-test", oss.url, retry_time_sleep=0)


@pytest.fixture(autouse=True)
def work_folders(tmp_path, monkeypatch, settings):
    """Work files of both run modes under tmp_path."""
    settings.MEDIA_ROOT = str(tmp_path / "media")
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    return {"server": os.path.join(settings.MEDIA_ROOT, "data"), "local": str(tmp_path / "home" / "tmp" / "kestro")}


def files_in(folder):
    """Every file below folder, relative, sorted."""
    out = []
    for root, _dirs, names in os.walk(folder):
        out += [os.path.relpath(os.path.join(root, n), folder) for n in names]
    return sorted(out)
