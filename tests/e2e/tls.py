"""HTTPS for the end-to-end tests: a test certificate authority, which only the
tests' own Wine prefix is told to trust, server certificates that it (or nobody)
issued, and nginx serving over TLS on localhost with one of them."""

import os
import select
import socket
import subprocess
from datetime import datetime, timedelta, timezone

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import NameOID

NOW = datetime.now(timezone.utc)
VALID = (NOW - timedelta(days=1), NOW + timedelta(days=30))
EXPIRED = (NOW - timedelta(days=30), NOW - timedelta(days=1))
NOT_YET_VALID = (NOW + timedelta(days=1), NOW + timedelta(days=30))


def _name(common_name):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def _new_key():
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def _pem(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


class Authority:
    """A certificate authority kept in a folder, so that the Wine prefix gathers one
    test authority however often the tests run."""

    def __init__(self, folder):
        folder.mkdir(parents=True, exist_ok=True)
        self.der_path = folder / "authority.der"
        key_path = folder / "authority.key"
        if not key_path.exists():
            key = _new_key()
            certificate = self._certificate(key)
            self.der_path.write_bytes(certificate.public_bytes(serialization.Encoding.DER))
            key_path.write_bytes(_pem(key))
        self.key = serialization.load_pem_private_key(key_path.read_bytes(), None)
        self.certificate = x509.load_der_x509_certificate(self.der_path.read_bytes())

    @staticmethod
    def _certificate(key):
        name = _name("Quillomark test authority")
        return (x509.CertificateBuilder().subject_name(name).issuer_name(name)
                .public_key(key.public_key()).serial_number(x509.random_serial_number())
                .not_valid_before(NOW - timedelta(days=1))
                .not_valid_after(NOW + timedelta(days=3650))
                .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
                .sign(key, hashes.SHA256()))


class ServerCertificates:
    """Server certificates for nginx, written as PEM files into a folder; every one
    shares one key."""

    def __init__(self, folder, authority):
        self.folder = folder
        self.authority = authority
        folder.mkdir(parents=True, exist_ok=True)
        self.key = _new_key()
        self.key_path = folder / "server.key"
        self.key_path.write_bytes(_pem(self.key))

    def make(self, label, host="localhost", validity=VALID, self_signed=False):
        """Writes the certificate for host; returns its path."""
        issuer, signer = ((_name(host), self.key) if self_signed
                          else (self.authority.certificate.subject, self.authority.key))
        certificate = (x509.CertificateBuilder().subject_name(_name(host)).issuer_name(issuer)
                       .public_key(self.key.public_key())
                       .serial_number(x509.random_serial_number())
                       .not_valid_before(validity[0]).not_valid_after(validity[1])
                       .add_extension(x509.SubjectAlternativeName([x509.DNSName(host)]),
                                      critical=False)
                       .sign(signer, hashes.SHA256()))
        path = self.folder / f"{label}.pem"
        path.write_bytes(certificate.public_bytes(serialization.Encoding.PEM))
        return path


def free_port():
    with socket.socket() as probe_socket:
        probe_socket.bind(("127.0.0.1", 0))
        return probe_socket.getsockname()[1]


class Nginx:
    """nginx with the given server blocks, its files in a work folder. In daemon mode
    it returns once it listens; stop waits until it has ended."""

    def __init__(self, work, servers, log_format="paths"):
        """log_format "combined" is nginx's default format, which publishers' servers write."""
        self.work = work
        (work / "temp").mkdir(parents=True, exist_ok=True)
        self.access_log = work / "access.log"
        self.access_log.write_bytes(b"")
        user = "user root root;" if os.getuid() == 0 else ""
        temp = " ".join(f"{kind}_temp_path {work}/temp;"
                        for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        (work / "nginx.conf").write_text(
            f"{user}\nworker_processes 1;\npid {work}/nginx.pid;\nerror_log {work}/error.log;\n"
            f"events {{ worker_connections 64; }}\n"
            f"http {{\n log_format paths '$request_uri';\n access_log {self.access_log} {log_format};\n"
            f" default_type application/octet-stream;\n {temp}\n" + "\n".join(servers) + "\n}\n")
        subprocess.run(["nginx", "-p", str(work), "-c", str(work / "nginx.conf"),
                        "-e", str(work / "error.log")], check=True)

    def stop(self):
        pid = int((self.work / "nginx.pid").read_text())
        descriptor = os.pidfd_open(pid)
        os.kill(pid, 15)
        select.select([descriptor], [], [], 10)
        os.close(descriptor)

    def requests(self):
        return self.access_log.read_text().splitlines()


def _has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as probe_socket:
            probe_socket.bind(("::1", 0))
        return True
    except OSError:
        return False


# "localhost" may name ::1 first; where the machine has it, nginx listens there too.
IPV6_LISTEN = "listen [::1]:{port} ssl;" if _has_ipv6_loopback() else ""


def https_server(port, certificate, key, body):
    """A server block for https://localhost:port/ with the certificate."""
    return (f"server {{\n listen 127.0.0.1:{port} ssl;\n {IPV6_LISTEN.format(port=port)}\n"
            f" ssl_certificate {certificate};\n ssl_certificate_key {key};\n {body}\n}}")


def http_server(port, body):
    return f"server {{\n listen 127.0.0.1:{port};\n {body}\n}}"


def serve_tree(tree):
    return f"location /download/ {{ alias {tree}/; }}"


def redirect_to(origin):
    """Every request answered with a redirect to the same path at origin."""
    return f"location / {{ return 302 {origin}$request_uri; }}"
