"""The one certificate maker of the Python tests (python3-cryptography):
self-signed certificates with any subject, validity and names, expired ones
included, a small certificate authority that issues certificates for a
given key, and its PKCS#7 replies; all in PEM."""
import datetime
import ipaddress
import os

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.serialization import pkcs7
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import NameOID

def make(cn, days=2, not_before=None, not_after=None, organization=None, dns=(), ips=(), bits=2048):
    """(certificate PEM, key PEM). The validity is [not_before, not_after]
    when given, else from now for that many days (0: it ends when it
    begins)."""
    key = rsa.generate_private_key(public_exponent=65537, key_size=bits)
    attributes = [x509.NameAttribute(NameOID.ORGANIZATION_NAME, organization)] if organization else []
    attributes.append(x509.NameAttribute(NameOID.COMMON_NAME, cn))
    name = x509.Name(attributes)
    start = not_before or datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    end = not_after or start + datetime.timedelta(days=days)
    builder = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
               .serial_number(x509.random_serial_number()).not_valid_before(start).not_valid_after(end)
               .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True))
    names = [x509.DNSName(d) for d in dns] + [x509.IPAddress(ipaddress.ip_address(i)) for i in ips]
    if names:
        builder = builder.add_extension(x509.SubjectAlternativeName(names), critical=False)
    cert = builder.sign(key, hashes.SHA256())
    key_pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL,
                                serialization.NoEncryption())
    return cert.public_bytes(serialization.Encoding.PEM).decode(), key_pem.decode()


def expired(cn):
    """A certificate whose validity ended in 2020."""
    utc = datetime.timezone.utc
    return make(cn, not_before=datetime.datetime(2020, 1, 1, tzinfo=utc),
                not_after=datetime.datetime(2020, 2, 1, tzinfo=utc))[0]


class Authority:
    """A certificate authority: its own self-signed certificate (PEM in
    .cert) and key; it issues certificates for other keys."""

    def __init__(self, cn="Kel Test CA"):
        self.key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        self.name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])
        now = datetime.datetime.now(datetime.timezone.utc)
        self._cert = (x509.CertificateBuilder().subject_name(self.name).issuer_name(self.name)
                      .public_key(self.key.public_key()).serial_number(x509.random_serial_number())
                      .not_valid_before(now - datetime.timedelta(minutes=5))
                      .not_valid_after(now + datetime.timedelta(days=2))
                      .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
                      .sign(self.key, hashes.SHA256()))
        self.cert = self._cert.public_bytes(serialization.Encoding.PEM).decode()

    def issue(self, key_pem, cn, dns=(), days=2, not_before=None, not_after=None, digest=hashes.SHA256):
        """A certificate for the public half of key_pem (a private key or a
        certificate signing request in PEM)."""
        data = key_pem.encode() if isinstance(key_pem, str) else key_pem
        if b"CERTIFICATE REQUEST" in data:
            public = x509.load_pem_x509_csr(data).public_key()
        else:
            public = serialization.load_pem_private_key(data, None).public_key()
        start = not_before or datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(minutes=5)
        end = not_after or start + datetime.timedelta(days=days)
        builder = (x509.CertificateBuilder().subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)]))
                   .issuer_name(self.name).public_key(public).serial_number(x509.random_serial_number())
                   .not_valid_before(start).not_valid_after(end))
        if dns:
            builder = builder.add_extension(x509.SubjectAlternativeName([x509.DNSName(d) for d in dns]),
                                            critical=False)
        return builder.sign(self.key, digest()).public_bytes(serialization.Encoding.PEM).decode()


def pkcs7_reply(*certificates):
    """The certificates (PEM), in this order, as a certificates-only PKCS#7
    reply in PEM, as authorities send it."""
    certs = [x509.load_pem_x509_certificate(c.encode()) for c in certificates]
    return pkcs7.serialize_certificates(certs, serialization.Encoding.PEM).decode()


def write(path, text, mode=0o644):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)
