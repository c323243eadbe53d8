"""The one certificate maker of the Python tests (python3-cryptography):
self-signed certificates with any subject, validity and names, expired ones
included, in PEM."""
import datetime
import ipaddress
import os

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
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


def write(path, text, mode=0o644):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)
