"""Certificate checks of both query paths: off by default (platforms with
private certificates), on with `verify` or the host setting
KESTRO_QUERY_VERIFY. The servers run on 127.0.0.1 behind TLS with
certificates made here, each signed by a CA of its own."""
import datetime
import ipaddress
import ssl

import pandas
import pytest
import requests
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

from kestro.common.defines import BMOBJ, Et
from kestro.quorel.quorel import ThinkDataQuery
from servers.presto import Page, PrestoServer
from servers.query_api import Answer, QueryApiServer, header_line, row_line

# a task type outside the record table: clog stores nothing in server mode
CTX = {"task_type": "none", "trid": 0, "index": 0}


def _name(cn):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])


def make_ca_and_server_cert(folder, tag):
    """A CA (its certificate in <tag>-ca.pem) and a server certificate for
    127.0.0.1 it signed (<tag>-server.pem, key in <tag>-key.pem)."""
    now = datetime.datetime.now(datetime.timezone.utc)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_ski = x509.SubjectKeyIdentifier.from_public_key(ca_key.public_key())
    ca = (x509.CertificateBuilder().subject_name(_name(tag + " test CA")).issuer_name(_name(tag + " test CA"))
          .public_key(ca_key.public_key()).serial_number(x509.random_serial_number())
          .not_valid_before(now - datetime.timedelta(hours=1)).not_valid_after(now + datetime.timedelta(days=1))
          .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
          .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False, key_encipherment=False,
                                       data_encipherment=False, key_agreement=False, key_cert_sign=True,
                                       crl_sign=True, encipher_only=False, decipher_only=False), critical=True)
          .add_extension(ca_ski, critical=False)
          .sign(ca_key, hashes.SHA256()))
    key = ec.generate_private_key(ec.SECP256R1())
    cert = (x509.CertificateBuilder().subject_name(_name("127.0.0.1")).issuer_name(ca.subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(hours=1)).not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]),
                           critical=False)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(ca_ski), critical=False)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
            .sign(ca_key, hashes.SHA256()))
    paths = {kind: str(folder / ("%s-%s.pem" % (tag, kind))) for kind in ("ca", "server", "key")}
    with open(paths["ca"], "wb") as f:
        f.write(ca.public_bytes(serialization.Encoding.PEM))
    with open(paths["server"], "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(paths["key"], "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    return paths


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("tls")
    return make_ca_and_server_cert(folder, "own"), make_ca_and_server_cert(folder, "unknown")


def serve_tls(httpd, paths):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(paths["server"], paths["key"])
    httpd.socket = ctx.wrap_socket(httpd.socket, server_side=True)


@pytest.fixture
def query_api(certs):
    own, _ = certs
    api = QueryApiServer(token="tok", answer=Answer([header_line(["a"]), row_line([1]), row_line([2])]))
    serve_tls(api._httpd, own)
    with api:
        yield "https://127.0.0.1:%d/querySql" % api._httpd.server_address[1]


@pytest.fixture
def engine(certs):
    own, _ = certs
    server = PrestoServer(stall_seconds=5)
    server.scheme = "https"
    serve_tls(server._httpd, own)
    server.add_query("q", [("a", "bigint")], [Page(rows=[[1], [2]])])
    server.start()
    yield server
    server.stop()


def run_http(query_uri, **kwargs):
    path = ThinkDataQuery(query_uri, "tok", **kwargs).get_data_csv(CTX, "q")
    try:
        return pandas.read_csv(path)["a"].tolist()
    finally:
        BMOBJ.remove_file(path)


def run_presto(engine, **kwargs):
    q = ThinkDataQuery("u", "tok", hive_conn_info=["https://127.0.0.1", engine.port], **kwargs)
    path = q.get_data_raw_pyhive(CTX, "q", retry_count=1)
    try:
        return pandas.read_csv(path)["a"].tolist()
    finally:
        BMOBJ.remove_file(path)


PATHS = {"http": (lambda certs, q, e, **kw: run_http(q, **kw)), "presto": (lambda certs, q, e, **kw: run_presto(e, **kw))}


@pytest.fixture(params=sorted(PATHS))
def run(request, certs, query_api, engine, fast_sleep):
    return lambda **kwargs: PATHS[request.param](certs, query_api, engine, **kwargs)


@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
def test_default_accepts_any_certificate(run):
    assert run() == [1, 2]
    assert run(verify=False) == [1, 2]


def test_a_trusted_bundle_is_accepted_and_an_unknown_certificate_refused(run, certs):
    own, unknown = certs
    assert run(verify=own["ca"]) == [1, 2]
    with pytest.raises(requests.exceptions.SSLError):
        run(verify=unknown["ca"])
    with pytest.raises(requests.exceptions.SSLError):
        run(verify=True)  # the system's CAs do not know a test CA


@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
def test_the_host_setting_sets_it_for_the_service_and_verify_overrides_it(run, certs, settings):
    own, unknown = certs
    settings.KESTRO_QUERY_VERIFY = unknown["ca"]
    with pytest.raises(requests.exceptions.SSLError):
        run()
    assert run(verify=False) == [1, 2] and run(verify=own["ca"]) == [1, 2]
    settings.KESTRO_QUERY_VERIFY = own["ca"]
    assert run() == [1, 2]


@pytest.mark.parametrize("value", [5, "yes-but-no-file", ""])
def test_a_host_setting_that_says_nothing_usable_is_refused_naming_it(settings, value, tmp_path):
    settings.KESTRO_QUERY_VERIFY = value
    q = ThinkDataQuery("http://127.0.0.1:9/querySql", "tok", hive_conn_info=["127.0.0.1", 9])
    for call in (lambda: q.get_data_csv(CTX, "q"), lambda: q.get_data_raw_pyhive(CTX, "q")):
        with pytest.raises((Et, TypeError)) as err:
            call()
        text = err.value.getmsg() if isinstance(err.value, Et) else str(err.value)
        assert "KESTRO_QUERY_VERIFY" in text
