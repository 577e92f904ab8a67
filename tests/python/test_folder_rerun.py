"""A folder transfer run again at once, beside the straggling tasks of the
call that failed: the re-run ends with every file (download) or object
(upload) byte-identical, and an upload's marker goes only once every object
is complete, whatever the stragglers still write meanwhile.

The failed call fails on one file while five others are held back (a stall
on their keys). The stall ends a little before the re-run starts, by a
lead that differs from round to round, so that the stragglers write, rename
and upload while the re-run empties, lists and transfers.
"""
import os
import re
import threading
import time

import pytest

from kestro.common.defines import Et
from servers.oss_fixtures import files_in, oss, oss_server_session, work_folders  # noqa: F401
from servers.s3_store import bucket, keys_of, s3, store  # noqa: F401

LEADS = [0.0, 0.001, 0.002, 0.003, 0.005, 0.008, 0.012, 0.02]  # stall end to re-run start, seconds
COUNT = 12


def tree(nested):
    """12 files (every other one in a sub-folder when nested), distinct bytes."""
    files = {}
    for k in range(COUNT):
        rel = ("s/" if nested and k % 2 else "") + "f%02d" % k
        files[rel] = os.urandom(3000 + 97 * k)
    return files


def write(folder, files):
    for rel, data in files.items():
        path = os.path.join(folder, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return folder


def read(folder):
    return {rel: open(os.path.join(folder, rel), "rb").read() for rel in files_in(folder)}


def pool_threads():
    return [t for t in threading.enumerate() if t.name.startswith("ThreadPoolExecutor") and t.is_alive()]


def wait_for_stragglers(timeout=30.0):
    deadline = time.monotonic() + timeout
    while pool_threads() and time.monotonic() < deadline:
        time.sleep(0.02)
    assert not pool_threads(), "tasks of the failed call still running"


HELD = re.compile(r"f0[5-9]$")  # held back; f00 fails


def rounds(leads=LEADS):
    # isdel alternates with the leads: both settings meet every part of the window
    return [pytest.param(lead, k % 2 == 0, id="lead%.3f-isdel%d" % (lead, k % 2 == 0)) for k, lead in enumerate(leads)]


def leave_many_files(local, count=300):
    """What a failed download of a big folder leaves: emptying it takes a
    while, long enough for the stragglers to rename files into it meanwhile."""
    folder = os.path.join(local, "many")
    os.makedirs(folder)
    for k in range(count):
        open(os.path.join(folder, "%05d" % k), "wb").close()


def rerun(gate, lead, call):
    """Ends the stall, waits `lead` (time.sleep is replaced in these tests), runs the call again."""
    assert pool_threads()  # at least one task of the failed call is held back
    gate.set()
    if lead:
        threading.Event().wait(lead)
    call()


# ---- OSS ---------------------------------------------------------------------------------


@pytest.fixture
def oss_client(oss):
    from kestro.oss.oss import AliyunOss

    class MarkerLast(AliyunOss):
        """Notes every object in the bucket at the moment the marker is sent."""

        def _upload_oss(self, ctx, td_file, local_file):
            if td_file.endswith("_SUCCESS"):
                self.at_marker = {k: oss.get(k) for k in oss.keys()}
            return super()._upload_oss(ctx, td_file, local_file)

    return MarkerLast("bucket1", "AKID-test", "SECRET-test", oss.url, retry_time_sleep=0)


def hold_oss(oss, method, prefix):
    """The failed call: its f00 fails (three attempts), f05 to f09 are held until the gate opens."""
    gate = threading.Event()
    oss.add_fault("status", method=method, key=prefix + "f00", times=3, status=500, delay=0.02)
    oss.add_fault("stall", method=method, key=re.compile("^" + re.escape(prefix) + r"(s/)?f0[5-9]$"), times=5,
                  gate=gate)
    return gate


@pytest.mark.parametrize("lead, isdel", rounds())
@pytest.mark.parametrize("isrm", [True, False])
def test_oss_download_rerun(oss_client, oss, local_mode, fast_sleep, tmp_path, lead, isdel, isrm):
    files = tree(nested=True)
    for rel, data in files.items():
        oss.put("in/" + rel, data)
    gate = hold_oss(oss, "GET", "in/")
    local = str(tmp_path / "d")

    def call():
        oss_client.download_oss({}, local, "in/", max_workers=COUNT, isrm=isrm, isdel=isdel)

    with pytest.raises(Et):
        call()
    leave_many_files(local)
    rerun(gate, lead, call)
    wait_for_stragglers()
    expected = {rel: data for rel, data in files.items() if isrm or "/" not in rel}
    assert read(local) == expected


@pytest.mark.parametrize("lead, isdel", rounds(LEADS[::2]))
def test_oss_upload_rerun(oss_client, oss, local_mode, fast_sleep, tmp_path, lead, isdel):
    files = tree(nested=True)
    local = write(str(tmp_path / "d"), files)
    gate = hold_oss(oss, "PUT", "out/")
    with pytest.raises(Et):
        oss_client.upload_oss({}, local, "out/", add_success=True, max_workers=COUNT, isrm=True)
    rerun(gate, lead, lambda: oss_client.upload_oss({}, local, "out/", add_success=True, max_workers=COUNT,
                                                    isrm=True, isdel=isdel))
    wait_for_stragglers()
    expected = {"out/" + rel: data for rel, data in files.items()}
    assert oss_client.at_marker == expected  # every object complete before the marker
    assert {k: oss.get(k) for k in oss.keys() if k != "out/_SUCCESS"} == expected
    assert "out/_SUCCESS" in oss.keys()
    assert os.path.exists(local) is not isdel


# ---- S3 ----------------------------------------------------------------------------------


class FirstCall:
    """The failed call's client: the transfer of f00 fails once a held task
    has started; those of f05 to f09 are held until the gate opens, then go through."""

    def __init__(self, real, gate, started):
        self.real, self.gate, self.started = real, gate, started

    def __getattr__(self, name):
        return getattr(self.real, name)

    def _before(self, name):
        if name.endswith("f00"):
            self.started.wait(5)
            raise ConnectionError("connection reset by peer")
        if HELD.search(name):
            self.started.set()
            self.gate.wait(30)

    def upload_file(self, local, bucket, key):
        self._before(key)
        return self.real.upload_file(local, bucket, key)

    def download_file(self, bucket, key, local):
        self._before(key)
        return self.real.download_file(bucket, key, local)


def fail_first_call(store, call):
    """Runs the call with the failed call's clients; the gate that ends the stall."""
    started, gate = threading.Event(), threading.Event()
    plain = store.get_s3_client
    store.get_s3_client = lambda: FirstCall(plain(), gate, started)
    with pytest.raises(Et):
        call()
    del store.get_s3_client  # the re-run's tasks get plain clients
    assert started.is_set()
    return gate


@pytest.mark.parametrize("lead, isdel", rounds(LEADS[:6]))
def test_s3_download_rerun(store, s3, bucket, task_ctx, fast_sleep, tmp_path, lead, isdel):
    files = tree(nested=True)
    for rel, data in files.items():
        s3.put_object(Bucket=bucket, Key="in/" + rel, Body=data)
    local = str(tmp_path / "d")

    def call():
        store.download_folder(local, "in", max_workers=COUNT, retry_count=1, isdel=isdel)

    gate = fail_first_call(store, call)
    leave_many_files(local)
    rerun(gate, lead, call)
    wait_for_stragglers()
    assert read(local) == files


@pytest.mark.parametrize("lead, isdel", rounds(LEADS[::2]))
def test_s3_upload_rerun(store, s3, bucket, task_ctx, fast_sleep, tmp_path, lead, isdel):
    files = tree(nested=True)
    local = write(str(tmp_path / "d"), files)
    real_marker = store.upload_fileobj
    seen = {}

    def upload_fileobj(io_obj, remote_path):  # notes the bucket at the moment the marker is sent
        seen.update({k: s3.get_object(Bucket=bucket, Key=k)["Body"].read() for k in keys_of(s3, bucket)})
        return real_marker(io_obj, remote_path)

    store.upload_fileobj = upload_fileobj
    gate = fail_first_call(store, lambda: store.upload_folder(local, "out", add_success=True, max_workers=COUNT,
                                                              retry_count=1))
    rerun(gate, lead, lambda: store.upload_folder(local, "out", add_success=True, max_workers=COUNT, isdel=isdel))
    wait_for_stragglers()
    expected = {"out/" + rel: data for rel, data in files.items()}
    assert seen == expected
    got = {k: s3.get_object(Bucket=bucket, Key=k)["Body"].read() for k in keys_of(s3, bucket)}
    assert got.pop("out/_SUCCESS") and got == expected
    assert os.path.exists(local) is not isdel
