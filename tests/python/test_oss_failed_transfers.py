"""kestro.oss.oss: a failed upload() or download() leaves nothing behind: no
work file, no SDK checkpoint or partial file, no unfinished multipart upload
in the bucket; the caller gets the SDK's own error."""
import os

import oss2
import pytest

from servers.oss_fixtures import client, files_in, oss, oss_server_session, work_folders  # noqa: F401

BIG = "0123456789abcde\n" * (11 * 1024 * 1024 // 16)  # 11 MiB: two parts of the SDK's multipart upload


@pytest.fixture
def home(tmp_path):
    """The HOME of the test (work_folders set it): where the SDK keeps checkpoints."""
    return tmp_path / "home"


def sdk_listing_of_uploads(client):
    return [(u.key, u.upload_id) for u in oss2.MultipartUploadIterator(client.bucket)]


@pytest.mark.parametrize("failing_part", ["1", "2"])
def test_failed_multipart_upload_is_aborted_and_forgotten(client, oss, work_folders, home, failing_part):
    oss.add_fault("status", method="PUT", key="t/big.txt", query=("partNumber", failing_part), times=None,
                  status=500, code="InternalError")
    with pytest.raises(oss2.exceptions.ServerError) as err:
        client.upload(BIG, "t/big.txt")
    # the part's own error, unchanged
    assert (type(err.value), err.value.status, err.value.code) == (oss2.exceptions.ServerError, 500,
                                                                   "InternalError")
    assert len(oss.calls("POST", "t/big.txt", "uploads")) == 1
    assert oss.keys() == [] and oss.unfinished_uploads() == [] and sdk_listing_of_uploads(client) == []
    assert len(oss.calls("DELETE", "t/big.txt", "uploadId")) == 1
    assert files_in(work_folders["server"]) == [] and files_in(home) == []

    # nothing left in the way of the next call
    oss.faults.clear()
    assert client.upload(BIG, "t/big.txt") is True and oss.get("t/big.txt") == BIG.encode()
    assert oss.unfinished_uploads() == [] and files_in(work_folders["server"]) == [] and files_in(home) == []


def test_a_failing_abort_does_not_replace_the_upload_error(client, oss, work_folders, home):
    oss.add_fault("status", method="PUT", query=("partNumber", "2"), times=None, status=500, code="InternalError")
    oss.add_fault("status", method="DELETE", query="uploadId", times=None, status=503, code="ServiceUnavailable")
    with pytest.raises(oss2.exceptions.ServerError) as err:
        client.upload(BIG, "t/big.txt")
    assert (err.value.status, err.value.code) == (500, "InternalError")
    assert len(oss.calls("DELETE", "t/big.txt", "uploadId")) == 1
    # best effort: the upload stays on the bucket, but nothing stays locally
    assert len(oss.unfinished_uploads()) == 1
    assert files_in(work_folders["server"]) == [] and files_in(home) == []


def test_failed_single_put_upload_leaves_no_work_file(client, oss, work_folders, home):
    oss.add_fault("status", method="PUT", key="t/small.txt", status=403, code="AccessDenied")
    with pytest.raises(oss2.exceptions.AccessDenied):
        client.upload("a,b\n", "t/small.txt")
    assert oss.keys() == [] and files_in(work_folders["server"]) == []
    assert not os.path.exists(home / ".py-oss-upload")  # no SDK state made for a one-request upload


def test_download_failing_for_good_leaves_no_partial_or_checkpoint(client, oss, work_folders, home, fast_sleep,
                                                                   monkeypatch):
    # objects from 256 KiB up take the SDK's checkpointed ranged download
    monkeypatch.setattr(oss2.defaults, "multiget_threshold", 256 * 1024)
    monkeypatch.setattr(oss2.defaults, "multiget_part_size", 100 * 1024)
    checkpoints = []
    real_put = oss2.resumable.ResumableDownloadStore.put
    monkeypatch.setattr(oss2.resumable.ResumableDownloadStore, "put",
                        lambda self, key, value: checkpoints.append(key) or real_put(self, key, value))
    body = os.urandom(400 * 1024)
    oss.put("t/big.bin", body)
    # every ranged GET fails, after the SDK wrote its checkpoint and partial file
    oss.add_fault("status", method="GET", key="t/big.bin", times=None, status=500, code="InternalError")
    with pytest.raises(oss2.exceptions.ServerError) as err:
        client.download("t/big.bin")
    assert err.value.status == 500
    assert checkpoints and fast_sleep.calls == [10] * 17
    assert files_in(work_folders["server"]) == [] and files_in(home) == []


def test_download_that_cannot_be_decoded_leaves_no_work_file(client, oss, work_folders):
    oss.put("t/latin.txt", b"caf\xe9\n")
    with pytest.raises(UnicodeDecodeError):
        client.download("t/latin.txt")
    assert files_in(work_folders["server"]) == []
