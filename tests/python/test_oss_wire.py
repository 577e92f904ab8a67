"""kestro.oss.oss: the bytes of the per-file workers and of texts, checked
by kestro's own CRC-64 against the service's, and big files in parts."""
import os
import re

import oss2
import pytest

from kestro.common.defines import Et
from servers.oss_fixtures import client, files_in, oss, oss_server_session, work_folders  # noqa: F401

MIB = 1 << 20
# around the 1 MiB pieces the body is read and written in
SIZES = [0, 1, 16 * 1024, MIB - 1, MIB, MIB + 1, 3 * MIB + 17]


@pytest.mark.parametrize("size", SIZES)
def test_workers_move_every_size_intact(client, oss, local_mode, fast_sleep, tmp_path, capsys, size):
    body = os.urandom(size)
    src = tmp_path / "src.bin"
    src.write_bytes(body)
    client._upload_oss({}, "k.bin", str(src))
    assert oss.get("k.bin") == body
    client._download_oss({}, "k.bin", str(tmp_path / "dst.bin"))
    assert (tmp_path / "dst.bin").read_bytes() == body
    out = capsys.readouterr().out
    assert "upload status 200" in out and "download status 200" in out and "fail" not in out


def sdk_error(oss, tmp_path, method):
    """The plain SDK's own error for the injected wrong checksum."""
    bucket = oss2.Bucket(oss2.Auth("AKID-test", "SECRET-test"), oss.url, "bucket1")
    with pytest.raises(oss2.exceptions.InconsistentError) as err:
        if method == "PUT":
            bucket.put_object_from_file("k.bin", str(tmp_path / "src.bin"))
        else:
            bucket.get_object_to_file("k.bin", str(tmp_path / "sdk.bin"))
    return err.value


def without_ids(text):
    return re.sub(r"[0-9a-f]{16}", "ID", text)


@pytest.mark.parametrize("method", ["PUT", "GET"])
def test_a_wrong_checksum_fails_as_the_sdk_fails(client, oss, local_mode, fast_sleep, tmp_path, method):
    body = os.urandom(2 * MIB + 5)
    (tmp_path / "src.bin").write_bytes(body)
    oss.put("k.bin", body)
    oss.add_fault("bad_crc", method=method, key="k.bin", times=None)
    worker = client._upload_oss if method == "PUT" else client._download_oss
    target = tmp_path / ("src.bin" if method == "PUT" else "dst.bin")
    with pytest.raises(Et) as err:
        worker({}, "k.bin", str(target))
    ours = err.value.__context__
    theirs = sdk_error(oss, tmp_path, method)
    assert type(ours) is type(theirs)
    assert without_ids(str(ours)) == without_ids(str(theirs))
    assert "is mismatch with oss" in str(ours)
    if method == "GET":  # the SDK leaves its file behind; the worker leaves nothing
        assert files_in(tmp_path) == ["sdk.bin", "src.bin"]


def test_a_short_body_is_refused(client, oss, local_mode, fast_sleep, tmp_path):
    oss.put("k.bin", os.urandom(3 * MIB))
    oss.add_fault("reset", method="GET", key="k.bin", times=None)
    with pytest.raises(Et) as err:
        client._download_oss({}, "k.bin", str(tmp_path / "dst.bin"))
    assert not os.path.exists(tmp_path / "dst.bin") and files_in(tmp_path) == []
    bucket = oss2.Bucket(oss2.Auth("AKID-test", "SECRET-test"), oss.url, "bucket1")
    with pytest.raises(Exception) as sdk:
        bucket.get_object_to_file("k.bin", str(tmp_path / "sdk.bin"))
    # The SDK names a cut body by where the HTTP stack notices it: the same error as
    # the plain call, or its own IncompleteRead one when the cut shows as a short read.
    assert type(err.value.__context__) in (type(sdk.value), oss2.exceptions.InconsistentError)


def test_a_pipe_is_refused_rather_than_sent_empty(client, oss, local_mode, fast_sleep, tmp_path):
    os.mkfifo(str(tmp_path / "pipe"))
    with pytest.raises(Et) as err:
        client._upload_oss({}, "k", str(tmp_path / "pipe"))
    assert isinstance(err.value.__context__, OSError) and oss.keys() == []


def test_a_replaced_bucket_call_is_honoured(client, oss, local_mode, fast_sleep, tmp_path):
    (tmp_path / "f").write_text("x")
    calls = []
    client.bucket.put_object_from_file = lambda *a: calls.append(a) or (_ for _ in ()).throw(OSError("stand-in"))
    with pytest.raises(Et):
        client._upload_oss({}, "k", str(tmp_path / "f"))
    assert len(calls) == 3 and oss.keys() == []


# ---- big files in parts -------------------------------------------------------

@pytest.fixture
def small_put_limit(oss):
    oss.max_put_size = 200 * 1024
    yield oss
    oss.max_put_size = 5 << 30


def part_numbers(oss, key):
    return sorted(int(q["partNumber"]) for m, _b, k, q in oss.requests if m == "PUT" and k == key and "partNumber" in q)


def test_folder_upload_sends_big_files_in_parts(client, small_put_limit, local_mode, fast_sleep, tmp_path):
    oss = small_put_limit
    folder = tmp_path / "out"
    folder.mkdir()
    small, big = os.urandom(10 * 1024), os.urandom(450 * 1024 + 3)
    (folder / "small.bin").write_bytes(small)
    (folder / "big.bin").write_bytes(big)
    client.upload_oss({}, str(folder), "o/", isdel=False, multipart_threshold=100 * 1024)
    assert oss.get("o/small.bin") == small and oss.get("o/big.bin") == big
    assert part_numbers(oss, "o/big.bin") == [1, 2, 3, 4, 5] and part_numbers(oss, "o/small.bin") == []
    assert oss.unfinished_uploads() == []
    # above the limit in one PUT, the service refuses it
    with pytest.raises(Et) as err:
        client.upload_oss({}, str(folder), "p/", isdel=False, max_workers=1)
    assert "EntityTooLarge" in str(err.value.__context__)


def test_a_part_that_keeps_failing_aborts_the_upload(client, small_put_limit, local_mode, fast_sleep, tmp_path,
                                                      capsys):
    oss = small_put_limit
    (tmp_path / "big.bin").write_bytes(os.urandom(350 * 1024))
    oss.add_fault("status", method="PUT", query=("partNumber", "3"), times=None, status=503, code="ServiceUnavailable")
    with pytest.raises(Et) as err:
        client._upload_oss({}, "big.bin", str(tmp_path / "big.bin"), multipart_threshold=100 * 1024)
    assert err.value.getmsg() == "upload fail big.bin %s" % (tmp_path / "big.bin")
    assert oss.unfinished_uploads() == [] and oss.keys() == []
    assert capsys.readouterr().out.count("ServiceUnavailable") == 4  # three attempts, the final line
    oss.faults.clear()
    oss.add_fault("bad_crc", method="POST", query="uploadId", times=1)
    client._upload_oss({}, "big.bin", str(tmp_path / "big.bin"), multipart_threshold=100 * 1024)
    assert oss.get("big.bin") == (tmp_path / "big.bin").read_bytes()
    assert "CRC checksum of client" in capsys.readouterr().out


@pytest.mark.parametrize("value", [0, -1, (5 << 30) + 1, "1", True, 1.5, None])
def test_a_bad_threshold_is_refused_before_anything_happens(client, oss, local_mode, tmp_path, value):
    oss.put("o/old.csv", "old")
    (tmp_path / "f").write_text("x")
    with pytest.raises(Et) as err:
        client.upload_oss({}, str(tmp_path), "o/", multipart_threshold=value)
    assert err.value.state == 2 and "multipart_threshold" in err.value.getmsg()
    with pytest.raises(Et):
        client._upload_oss({}, "k", str(tmp_path / "f"), multipart_threshold=value)
    assert oss.keys() == ["o/old.csv"] and (tmp_path / "f").exists()


# ---- texts ----------------------------------------------------------------------

def texts():
    a = "a" * (MIB - 1)
    return {
        "empty": "",
        "crlf across pieces": a + "\r\n" + "b\r" * 5 + "\rc\n",
        "euro across pieces": "a" * (MIB - 2) + "\u20ac" * 3 + "z",
        "wider chars later": "\xe9" * MIB + "x" + "\u4e2d" * 10 + "\U0001F600",
        "ascii then emoji": a + "\r" + "\U0001F600",
        "lone cr at the end": "x\r",
    }


@pytest.mark.parametrize("name", sorted(texts()))
def test_texts_read_back_as_text_mode_reads_them(client, oss, local_mode, tmp_path, name):
    text = texts()[name]
    assert client.upload(text, "t.txt") is True
    stored = oss.get("t.txt")
    assert stored == text.encode("utf-8")
    (tmp_path / "ref.txt").write_bytes(stored)
    with open(tmp_path / "ref.txt") as f:
        expected = f.read()
    got = client.download("t.txt")
    assert got == expected and type(got) is str


def test_bytes_that_do_not_decode_fail_as_a_whole_decode_does(client, oss, local_mode):
    body = b"a" * (MIB + 3) + b"\xff" + b"b" * 10
    oss.put("t.txt", body)
    with pytest.raises(UnicodeDecodeError) as err:
        client.download("t.txt")
    with pytest.raises(UnicodeDecodeError) as ref:
        body.decode("utf-8")
    assert str(err.value) == str(ref.value)
