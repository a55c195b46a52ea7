"""The moto S3 server in a process of its own, plain or with TLS, and the
certificates for TLS: a CA of its own and a server certificate it signs.

Shared by the TLS tests and the benchmarks (bench/s3server.py imports it).
"""

import contextlib
import dataclasses
import datetime
import functools
import ipaddress
import os
import socket
import ssl
import subprocess
import sys
import time
import urllib.request


@dataclasses.dataclass(frozen=True)
class Certificates:
    ca: str    # the CA's certificate (PEM): the bundle a client checks the server against
    cert: str  # the server's certificate (PEM), signed by the CA
    key: str   # the server's private key (PEM, unencrypted)


def make_certificates(folder, names, prefix="server"):
    """A new CA and a server certificate for `names` (DNS names or IP
    addresses), written as PEM files into `folder`."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    now = datetime.datetime.now(datetime.timezone.utc)

    def build(subject, issuer, public_key, extensions, signing_key):
        builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer)
                   .public_key(public_key).serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(minutes=5))
                   .not_valid_after(now + datetime.timedelta(days=1))
                   .add_extension(x509.SubjectKeyIdentifier.from_public_key(public_key), critical=False))
        for extension, critical in extensions:
            builder = builder.add_extension(extension, critical=critical)
        return builder.sign(signing_key, hashes.SHA256())

    def usage(**granted):
        flags = ["digital_signature", "content_commitment", "key_encipherment", "data_encipherment",
                 "key_agreement", "key_cert_sign", "crl_sign", "encipher_only", "decipher_only"]
        return x509.KeyUsage(**{flag: granted.get(flag, False) for flag in flags})

    ca_key, key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, f"tavrin test CA ({prefix})")])
    # Python 3.13 checks strictly: a CA needs basicConstraints (critical) and keyUsage keyCertSign.
    ca = build(ca_name, ca_name, ca_key.public_key(), [
        (x509.BasicConstraints(ca=True, path_length=0), True),
        (usage(digital_signature=True, key_cert_sign=True, crl_sign=True), True),
    ], ca_key)

    def alt_name(name):
        try:
            return x509.IPAddress(ipaddress.ip_address(name))
        except ValueError:
            return x509.DNSName(name)

    server = build(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, names[0])]), ca_name, key.public_key(), [
        (x509.SubjectAlternativeName([alt_name(name) for name in names]), False),
        (x509.BasicConstraints(ca=False, path_length=None), True),
        (usage(digital_signature=True, key_encipherment=True), True),
        (x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), False),
        (x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()), False),
    ], ca_key)

    paths = Certificates(*(os.path.join(folder, f"{prefix}-{part}.pem") for part in ("ca", "cert", "key")))
    pem = serialization.Encoding.PEM
    for path, data in [(paths.ca, ca.public_bytes(pem)), (paths.cert, server.public_bytes(pem)),
                       (paths.key, key.private_bytes(pem, serialization.PrivateFormat.PKCS8,
                                                     serialization.NoEncryption()))]:
        with open(path, "wb") as f:
            f.write(data)
    return paths


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on (at the time of the call)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


_SANITIZING = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def plain_env():
    """The environment without the sanitizer runtimes and settings a sanitizer
    run gives every process: for the servers the tests talk to, which are not
    the code under test (under them, they only cost time)."""
    return {name: value for name, value in os.environ.items() if name not in _SANITIZING}


def cache_moto_module_list():
    """moto's server lists its own package folder on every request to tell a
    service name from a host name; the folder does not change during a run,
    so one listing serves them all (about a third of a request's CPU time)."""
    from moto import backends

    if not hasattr(backends.list_of_moto_modules, "cache_info"):
        backends.list_of_moto_modules = functools.cache(lambda listing=backends.list_of_moto_modules:
                                                        tuple(listing()))


def _serve(argv):
    cache_moto_module_list()
    from moto.server import main

    main(argv)


@contextlib.contextmanager
def moto_server(certificates=None, timeout=60.0):
    """Runs moto's server (`python -m moto.server`, with the module list
    cached) on 127.0.0.1 on a free port in a process of its own, with TLS when
    `certificates` (see make_certificates) are given, in plain_env(); yields
    the port once the server answers, and stops it on exit."""
    port = free_port()
    launch = f"import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r}); " \
             "import motoserver; motoserver._serve(sys.argv[1:])"
    command = [sys.executable, "-c", launch, "-H", "127.0.0.1", "-p", str(port)]
    url, context = f"http://127.0.0.1:{port}/moto-api/", None
    if certificates is not None:
        command += ["--ssl-cert", certificates.cert, "--ssl-key", certificates.key]
        url = "https" + url[len("http"):]
        context = ssl.create_default_context(cafile=certificates.ca)
        context.check_hostname = False  # the certificate need not name 127.0.0.1; its CA must sign it
    server = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=plain_env())
    try:
        deadline = time.monotonic() + timeout
        while True:
            try:
                urllib.request.urlopen(url, timeout=1, context=context).close()
                break
            except OSError:
                if server.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("the moto server did not start") from None
                time.sleep(0.1)
        yield port
    finally:
        server.terminate()
        server.wait()
