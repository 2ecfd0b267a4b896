"""The certificate authorities that the check's own fetches trust, which
the page runs are given as one bundle (box.py)."""
import os
import re
import ssl

CERTIFICATE = re.compile(rb"-----BEGIN (?:TRUSTED )?CERTIFICATE-----.+?"
                         rb"-----END (?:TRUSTED )?CERTIFICATE-----", re.S)
# The names OpenSSL looks certificates up by in a folder (c_rehash's).
HASHED = re.compile(r"[0-9a-f]{8}\.[0-9]+")


def trusted():
    """The certificates that the check's own fetches trust (Python's default
    context: OpenSSL's file and folders, or SSL_CERT_FILE and SSL_CERT_DIR
    where they are set), each once, in PEM."""
    paths = ssl.get_default_verify_paths()
    files = [paths.cafile] if paths.cafile else []
    # OpenSSL takes several folders, as PATH does; Python tells only one.
    for folder in os.environ.get(paths.openssl_capath_env, paths.openssl_capath).split(":"):
        try:
            files += [os.path.join(folder, name) for name in sorted(os.listdir(folder))
                      if HASHED.fullmatch(name)]
        except OSError:
            continue
    found = {}
    for name in files:
        try:
            with open(name, "rb") as certificates:
                found.update(dict.fromkeys(CERTIFICATE.findall(certificates.read())))
        except OSError:
            continue
    return list(found)
