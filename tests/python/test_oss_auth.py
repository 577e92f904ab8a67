"""kestro.oss.oss: V4 signing, temporary (STS) credentials and credential
providers, against the OSS server that checks every signature."""
import logging

import oss2
import pytest

from kestro.common.defines import Et
from kestro.oss.oss import AliyunOss
from servers.oss_fixtures import files_in, oss, oss_server_session, work_folders  # noqa: F401
from servers.oss_server import DEFAULT_REGION

STS_ID = "STS.NUc2vK3mTmpKey"
STS_SECRET = "tmp-secret-Hq8vPz2LmR5wXy"
STS_TOKEN = "CAIS-token-9f8e7d6c5b4a3210fedcba9876543210"
FIXED_SECRET = "fixed-secret-0123456789ab"


class CountingProvider(oss2.CredentialsProvider):
    """A provider as services write them: asked for credentials per request."""

    def __init__(self, key_id, secret, token=None):
        self.credentials = oss2.credentials.Credentials(key_id, secret, token)
        self.calls = 0

    def get_credentials(self):
        self.calls += 1
        return self.credentials


# mode -> (constructor keywords, expected (scheme, key id, token sent) of every request)
MODES = {
    "v4 fixed keys": (dict(region=DEFAULT_REGION), ("v4", "AKID-fixed", False)),
    "v4 token": (dict(region=DEFAULT_REGION, security_token=STS_TOKEN), ("v4", STS_ID, True)),
    "v4 provider": (dict(region=DEFAULT_REGION), ("v4", STS_ID, True)),
    "v1 token": (dict(security_token=STS_TOKEN), ("v1", STS_ID, True)),
    "v1 provider": (dict(), ("v1", STS_ID, True)),
}


def make_client(oss, mode, **overrides):
    kwargs, _ = MODES[mode]
    kwargs = dict(kwargs, retry_time_sleep=0, **overrides)
    if "provider" in mode:
        provider = kwargs.pop("provider", None) or CountingProvider(STS_ID, STS_SECRET, STS_TOKEN)
        return AliyunOss("bucket1", None, None, oss.url, credentials_provider=provider, **kwargs)
    if "token" in mode:
        return AliyunOss("bucket1", STS_ID, kwargs.pop("secret", STS_SECRET), oss.url, **kwargs)
    return AliyunOss("bucket1", "AKID-fixed", kwargs.pop("secret", FIXED_SECRET), oss.url, **kwargs)


@pytest.fixture
def keyed(oss):
    oss.add_key("AKID-fixed", FIXED_SECRET)
    oss.add_key(STS_ID, STS_SECRET, STS_TOKEN)
    return oss


# ---- every operation is signed as asked ------------------------------------------

@pytest.mark.parametrize("mode", sorted(MODES))
def test_every_operation_under_each_signing(keyed, mode, local_mode, fast_sleep, tmp_path):
    oss = keyed
    c = make_client(oss, mode)
    src = tmp_path / "out"
    (src / "sub").mkdir(parents=True)
    (src / "a.csv").write_text("1,2\n")
    (src / "sub" / "b.csv").write_text("3,4\n")

    c.upload_oss({}, str(src), "f/", add_success=True, isrm=True, isdel=False)
    assert oss.keys() == ["f/_SUCCESS", "f/a.csv", "f/sub/b.csv"]
    assert c.exists("f/a.csv") and not c.exists("f/none")
    assert c.find_prefix_oss({}, "f", isrm=True) == ["f/_SUCCESS", "f/a.csv", "f/sub/b.csv"]
    c.download_oss({}, str(tmp_path / "in"), "f/", isrm=True, isdel=False)
    assert files_in(tmp_path / "in") == ["_SUCCESS", "a.csv", "sub/b.csv"]
    c._upload_oss({}, "w/one.csv", str(src / "a.csv"))
    c._download_oss({}, "w/one.csv", str(tmp_path / "one.csv"))
    assert (tmp_path / "one.csv").read_text() == "1,2\n"
    # above the multipart threshold: initiate, parts and complete are signed too
    big = "x" * (10 * 1024 * 1024) + "tail\n"
    assert c.upload(big, "t/big.txt") is True and c.upload("small", "t/small.txt") is True
    assert c.download("t/small.txt") == "small" and oss.get("t/big.txt") == big.encode()
    assert oss.calls("PUT", "t/big.txt", "partNumber") and oss.calls("POST", "t/big.txt", "uploadId")
    c.delete_prefix_oss({}, "f", isrm=True)
    assert c.delete_path("t") is True
    assert oss.keys() == ["w/one.csv"]

    _, expected = MODES[mode]
    assert len(oss.auth_log) == len(oss.requests) > 20
    assert set(oss.auth_log) == {expected}
    if "provider" in mode:
        assert c.bucket.auth.credentials_provider.calls == len(oss.requests)


def test_defaults_keep_v1_with_fixed_keys(keyed):
    c = AliyunOss("bucket1", "AKID-fixed", FIXED_SECRET, keyed.url)
    assert c.exists("k") is False
    assert keyed.auth_log == [("v1", "AKID-fixed", False)]
    with pytest.raises(TypeError):  # keyword-only
        AliyunOss("bucket1", "a", "b", keyed.url, 210, 210, None, None, DEFAULT_REGION)


# ---- refusals -----------------------------------------------------------------------

@pytest.mark.parametrize("mode, overrides, error, code", [
    ("v4 fixed keys", dict(secret="wrong-secret-000000"), oss2.exceptions.SignatureDoesNotMatch,
     "SignatureDoesNotMatch"),
    ("v4 fixed keys", dict(region="cn-elsewhere"), oss2.exceptions.SignatureDoesNotMatch, "SignatureDoesNotMatch"),
    ("v4 token", dict(secret="wrong-secret-000000"), oss2.exceptions.SignatureDoesNotMatch,
     "SignatureDoesNotMatch"),
    ("v4 token", dict(security_token="CAIS-unknown-token-0000"), oss2.exceptions.ServerError,
     "InvalidSecurityToken"),
    ("v1 token", dict(security_token="CAIS-unknown-token-0000"), oss2.exceptions.ServerError,
     "InvalidSecurityToken"),
    ("v4 provider", dict(provider=CountingProvider(STS_ID, STS_SECRET, "CAIS-unknown-token-0000")),
     oss2.exceptions.ServerError, "InvalidSecurityToken"),
    ("v4 provider", dict(provider=CountingProvider("STS.unknown", STS_SECRET, STS_TOKEN)),
     oss2.exceptions.ServerError, "InvalidAccessKeyId"),
])
def test_bad_credentials_are_refused_with_the_sdk_error(keyed, mode, overrides, error, code):
    c = make_client(keyed, mode, **overrides)
    keyed.put("k", "v")
    for call in (lambda: c.exists("k"), lambda: c.find_prefix_oss({}, "any")):
        with pytest.raises(error) as err:
            call()
        assert (err.value.status, err.value.code) == (403, code)
    assert keyed.auth_log == [] and keyed.get("k") == b"v"


def test_no_secret_or_token_in_what_kestro_writes(keyed, task_ctx, fast_sleep, tmp_path, caplog):
    caplog.set_level(logging.DEBUG, logger="django")
    # V1 with a token: the service's refusal echoes the string it signed,
    # which holds the token header
    c = make_client(keyed, "v1 token", secret="wrong-secret-000000")
    (tmp_path / "f").write_text("x")
    with pytest.raises(oss2.exceptions.SignatureDoesNotMatch) as sdk_err:
        c.bucket.put_object_from_file("k", str(tmp_path / "f"))
    assert STS_TOKEN in str(sdk_err.value)  # the echo is there to be left out
    for worker in (c._upload_oss, c._download_oss):
        with pytest.raises(Et) as err:
            worker(task_ctx, "k", str(tmp_path / "f"))
        assert STS_TOKEN not in err.value.getmsg() and "wrong-secret" not in err.value.getmsg()
    lines = [text for line in task_ctx.lines() for text in line]
    assert len(lines) == 8 and all("SignatureDoesNotMatch" in text for text in lines)
    assert not any(STS_TOKEN in text or "wrong-secret-000000" in text for text in lines)
    with pytest.raises(oss2.exceptions.SignatureDoesNotMatch):
        c.upload("text", "t.txt")
    kestro_logs = " ".join(r.getMessage() for r in caplog.records if r.name == "django")
    assert "upload start" in kestro_logs and STS_TOKEN not in kestro_logs


def test_a_cached_provider_secret_is_masked(keyed, task_ctx, fast_sleep, tmp_path):
    provider = CountingProvider(STS_ID, "provider-secret-that-leaks", STS_TOKEN)
    c = make_client(keyed, "v4 provider", provider=provider)
    (tmp_path / "f").write_text("x")
    # a transport error whose text happens to hold the secret
    c.bucket.put_object_from_file = lambda *a: (_ for _ in ()).throw(
        RuntimeError("proxy said: provider-secret-that-leaks / " + STS_TOKEN))
    with pytest.raises(Et):
        c._upload_oss(task_ctx, "k", str(tmp_path / "f"))
    lines = [text for line in task_ctx.lines() for text in line]
    assert all("proxy said: ****** / ******" in text for text in lines) and len(lines) == 4


# ---- bad input at construction ------------------------------------------------------

@pytest.mark.parametrize("args, kwargs", [
    (("AKID-fixed", FIXED_SECRET), dict(region="")),
    (("AKID-fixed", FIXED_SECRET), dict(region=5)),
    (("AKID-fixed", FIXED_SECRET), dict(region=b"cn-hangzhou")),
    (("AKID-fixed", FIXED_SECRET), dict(region="cn hangzhou")),
    (("AKID-fixed", FIXED_SECRET), dict(region="cn/hangzhou")),
    ((STS_ID, STS_SECRET), dict(security_token="")),
    ((STS_ID, STS_SECRET), dict(security_token=7)),
    ((None, None), dict(security_token=STS_TOKEN)),
    ((STS_ID, None), dict(security_token=STS_TOKEN, region=DEFAULT_REGION)),
    ((None, None), dict(credentials_provider=CountingProvider(STS_ID, STS_SECRET), security_token=STS_TOKEN)),
    ((STS_ID, STS_SECRET), dict(credentials_provider=CountingProvider(STS_ID, STS_SECRET))),
    ((None, STS_SECRET), dict(credentials_provider=CountingProvider(STS_ID, STS_SECRET))),
    ((None, None), dict(credentials_provider=object())),
    ((None, None), dict(credentials_provider=CountingProvider(STS_ID, STS_SECRET), region="")),
])
def test_conflicting_or_bad_credential_arguments_raise_before_any_request(oss, args, kwargs):
    provider = kwargs.get("credentials_provider")
    with pytest.raises(Et) as err:
        AliyunOss("bucket1", *args, oss.url, **kwargs)
    assert err.value.state == 2
    for secret in (STS_SECRET, STS_TOKEN, FIXED_SECRET):
        assert secret not in err.value.getmsg()
    assert oss.requests == []
    assert getattr(provider, "calls", 0) == 0


def test_v4_needs_no_key_texts_from_a_provider_and_sts_keeps_its_auth_version(keyed):
    v4 = make_client(keyed, "v4 token")
    v1 = make_client(keyed, "v1 token")
    assert v4.bucket.auth.auth_version() == "v4" and v4.bucket.region == DEFAULT_REGION
    assert v1.bucket.auth.auth_version() == "v1"
    p = make_client(keyed, "v4 provider")
    assert (p.access_key_id, p.access_key_secret) == (None, None)
    assert p.exists("k") is False and keyed.auth_log == [("v4", STS_ID, True)]
