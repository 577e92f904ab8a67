"""Secrets in hostile places: a key or token badly framed (as read from a
file), an HTTP library that refuses a header and echoes it escaped, a
service that quotes it back percent-encoded or in JSON. None of its forms
may show in what kestro writes: task-log lines, "django" log lines, Et
messages, or the errors chained to the Et it raises."""
import json
import logging
import traceback
import unicodedata
from urllib.parse import quote, quote_plus

import botocore.exceptions
import oss2
import pytest

from kestro.common.defines import Et
from kestro.oss.oss import AliyunOss
from kestro.quorel.quorel import ThinkDataQuery
from kestro.s3.storvane import Storvane
from servers.query_api import Answer, QueryApiServer, header_line

DEAD = "http://127.0.0.1:9"
TOKEN = "CAIS+tok/en=9f8e7d6c5b4a"
SECRET = "s3cr+et/Key=Hq8vPz2LmR5w"


def forms(secret):
    """Every form of `secret` a text may carry, computed with Python's own
    escaping: as given, stripped, without control characters; each as it
    is, repr-escaped (str and bytes), JSON-escaped and percent-encoded."""
    bases = {secret, secret.strip(), "".join(c for c in secret if unicodedata.category(c) != "Cc").strip()}
    out = set()
    for b in bases:
        out |= {b, repr(b)[1:-1], repr(b.encode())[2:-1], json.dumps(b)[1:-1], quote(b, safe=""), quote(b),
                quote_plus(b), quote(b, safe="").lower()}
    return {f for f in out if len(f) >= 8}


def assert_no_form(secret, *texts):
    for text in texts:
        for form in forms(secret):
            assert form not in text, (form, text)


def chain_text(e):
    return "".join(traceback.format_exception(type(e), e, e.__traceback__))


def echoes(secret):
    """A service answer quoting `secret` in several forms."""
    return "refused %r, %s, %s, %s" % (secret, quote_plus(secret), json.dumps(secret), repr(secret.encode()))


# ---- badly framed credentials are refused at construction ---------------------------------

FRAMINGS = [" %s", "%s\n", "\t%s", "%s\r\n", "%s\u0085", "%s\x00x", "ab\x7f%s", "%s\x1b[0m"]
PARAMS = {
    "aly_access_key_id": lambda v: AliyunOss("bucket1", v, SECRET, DEAD),
    "aly_access_key_secret": lambda v: AliyunOss("bucket1", "AKID-1234567", v, DEAD),
    "security_token": lambda v: AliyunOss("bucket1", "STS.1234567", SECRET, DEAD, security_token=v),
}


@pytest.mark.parametrize("framing", FRAMINGS)
@pytest.mark.parametrize("param", sorted(PARAMS))
def test_badly_framed_oss_credentials_are_refused_without_echo(param, framing):
    value = framing % TOKEN
    with pytest.raises(Et) as err:
        PARAMS[param](value)
    assert err.value.state == 2 and param in err.value.getmsg()
    assert_no_form(value, err.value.getmsg(), err.value.msg, chain_text(err.value), repr(err.value))


def test_s3_keys_pass_through_unchanged():
    s = Storvane({}, " ak\n", SECRET + "\n", "b", "us-east-1")
    assert (s.access_key, s.secret_key) == (" ak\n", SECRET + "\n")


# ---- an echoing HTTP library and service ----------------------------------------------------------

class Provider(oss2.CredentialsProvider):
    """Credentials that reach the SDK only per request, so the construction
    check cannot see them: a token read from a file, line feed included."""

    def __init__(self, token):
        self.credentials = oss2.credentials.Credentials("STS.1234567", SECRET, token)

    def get_credentials(self):
        return self.credentials


@pytest.mark.parametrize("worker", ["_upload_oss", "_download_oss"])
def test_a_refused_token_header_is_masked_in_the_task_log_and_the_error_chain(
        worker, local_mode, fast_sleep, capsys, caplog, tmp_path):
    caplog.set_level(logging.DEBUG, logger="django")
    token = TOKEN + "\n"
    c = AliyunOss("bucket1", None, None, DEAD, credentials_provider=Provider(token), retry_time_sleep=0)
    (tmp_path / "f").write_text("x")
    with pytest.raises(Et) as err:
        getattr(c, worker)({}, "k", str(tmp_path / "f"))
    lines = capsys.readouterr().out
    # the refusal is still told, only the value is masked
    assert lines.count("fail") == 4 and "******" in lines
    assert isinstance(err.value.__context__, RuntimeError) and "******" in str(err.value.__context__)
    assert_no_form(token, lines, err.value.getmsg(), chain_text(err.value), caplog.text)
    assert_no_form(SECRET, lines, chain_text(err.value))


def test_an_s3_secret_quoted_by_the_service_is_masked(local_mode, fast_sleep, capsys, tmp_path):
    s = Storvane({}, "ak", SECRET, "b", "us-east-1", endpoint_url=DEAD)

    class Client:
        def upload_file(self, *args):
            raise botocore.exceptions.ClientError({"Error": {"Code": "403", "Message": echoes(SECRET)}}, "PutObject")

        download_file = upload_file

    s.get_s3_client = Client
    (tmp_path / "f").write_text("x")
    assert s.upload_file(str(tmp_path / "f"), "k") is False
    with pytest.raises(Et) as err:
        s._upload_i("k", str(tmp_path / "f"), 2)
    out = capsys.readouterr().out
    assert "upload s3 file error:" in out and out.count("fail") == 3
    assert_no_form(SECRET, out, err.value.getmsg(), chain_text(err.value))


def test_an_error_without_a_secret_is_chained_unchanged(local_mode, fast_sleep, tmp_path):
    c = AliyunOss("bucket1", "AKID-1234567", SECRET, DEAD, retry_time_sleep=0)
    failure = OSError("disk on fire")
    c.bucket.put_object_from_file = lambda *a: (_ for _ in ()).throw(failure)
    with pytest.raises(Et) as err:
        c._upload_oss({}, "k", str(tmp_path / "f"))
    assert err.value.__context__ is failure


@pytest.mark.parametrize("answer_status", [200, 401])
def test_a_query_token_quoted_in_an_error_answer_is_masked(local_mode, caplog, answer_status):
    caplog.set_level(logging.DEBUG, logger="django")
    line = header_line((), return_code=401, msg=echoes(TOKEN))
    with QueryApiServer(token=None, answer=Answer([line], status=answer_status)) as api:
        q = ThinkDataQuery(api.url, TOKEN)
        with pytest.raises(Et) as err:
            q.get_data_csv({}, "select 1")
    assert "refused" in err.value.getmsg() and "******" in err.value.getmsg()
    assert "sql error:" in caplog.text
    assert_no_form(TOKEN, err.value.getmsg(), chain_text(err.value), caplog.text)


def test_a_query_token_in_a_malformed_answer_is_masked(local_mode, caplog):
    caplog.set_level(logging.DEBUG, logger="django")
    with QueryApiServer(token=None, answer=Answer([b"not json " + TOKEN.encode()])) as api:
        q = ThinkDataQuery(api.url, TOKEN)
        with pytest.raises(Et) as err:
            q.get_data_csv({}, "select 1")
    assert "get data error" in caplog.text
    assert_no_form(TOKEN, err.value.getmsg(), chain_text(err.value), caplog.text)


def test_a_query_token_quoted_by_the_engine_is_masked(local_mode, fast_sleep, capsys):
    from servers.presto import Page, PrestoServer, engine_error

    engine = PrestoServer(stall_seconds=5).start()
    try:
        engine.add_query("q", [("a", "bigint")], [Page(error=engine_error(echoes(TOKEN)), fault="error")])
        q = ThinkDataQuery("u", TOKEN, hive_conn_info=engine.address)
        with pytest.raises(Exception) as err:
            q.get_data_raw_pyhive({}, "q", retry_count=1)
    finally:
        engine.stop()
    out = capsys.readouterr().out
    # the engine's own error reaches the caller unchanged; what kestro logged is masked
    assert "get data error:" in out and "******" in out
    assert_no_form(TOKEN, out)
    assert "refused" in str(err.value)
