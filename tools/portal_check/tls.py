"""The tls check: the TLS 1.2 handshakes that the control makes on Windows 10
and on Windows 7, with the suites each offers."""
import socket
import ssl
from urllib.parse import urlsplit

from web import NETWORK_ERRORS, why

# The suites that Schannel, Windows' TLS stack, offers by default and that
# TLS 1.2 can carry, in Windows' order, by their OpenSSL names. Taken from
# Microsoft's "Cipher Suites in TLS/SSL (Schannel SSP)": the pages "TLS Cipher
# Suites in Windows 10 v22H2" and "TLS Cipher Suites in Windows 7" (the latter
# as ordered by update 3042058). Left out: the NULL suites, which Windows uses
# only when a program asks for them, and Windows 7's RC4 suites, which Internet
# Explorer stopped offering in 2016. OpenSSL builds without 3DES skip those two.
# Windows 7 does its ECDHE over P-256 and P-384 only; Python cannot narrow a
# client's curves, so a portal with X25519 alone would still pass here.
WINDOWS_10_SUITES = [
    "ECDHE-ECDSA-AES256-GCM-SHA384", "ECDHE-ECDSA-AES128-GCM-SHA256",
    "ECDHE-RSA-AES256-GCM-SHA384", "ECDHE-RSA-AES128-GCM-SHA256",
    "ECDHE-ECDSA-AES256-SHA384", "ECDHE-ECDSA-AES128-SHA256",
    "ECDHE-RSA-AES256-SHA384", "ECDHE-RSA-AES128-SHA256",
    "ECDHE-ECDSA-AES256-SHA", "ECDHE-ECDSA-AES128-SHA",
    "ECDHE-RSA-AES256-SHA", "ECDHE-RSA-AES128-SHA",
    "AES256-GCM-SHA384", "AES128-GCM-SHA256", "AES256-SHA256", "AES128-SHA256",
    "AES256-SHA", "AES128-SHA",
]
WINDOWS_7_SUITES = [
    "ECDHE-RSA-AES256-SHA384", "ECDHE-RSA-AES128-SHA256",
    "ECDHE-RSA-AES256-SHA", "ECDHE-RSA-AES128-SHA",
    "DHE-RSA-AES256-GCM-SHA384", "DHE-RSA-AES128-GCM-SHA256",
    "DHE-RSA-AES256-SHA", "DHE-RSA-AES128-SHA",
    "AES256-GCM-SHA384", "AES128-GCM-SHA256", "AES256-SHA256", "AES128-SHA256",
    "AES256-SHA", "AES128-SHA",
    "ECDHE-ECDSA-AES256-GCM-SHA384", "ECDHE-ECDSA-AES128-GCM-SHA256",
    "ECDHE-ECDSA-AES256-SHA384", "ECDHE-ECDSA-AES128-SHA256",
    "ECDHE-ECDSA-AES256-SHA", "ECDHE-ECDSA-AES128-SHA",
    "DHE-DSS-AES256-SHA256", "DHE-DSS-AES128-SHA256", "DHE-DSS-AES256-SHA", "DHE-DSS-AES128-SHA",
    "DES-CBC3-SHA", "EDH-DSS-DES-CBC3-SHA",
]


def handshake(host, suites, timeout):
    address = urlsplit("//" + host)
    context = ssl.create_default_context()
    context.minimum_version = context.maximum_version = ssl.TLSVersion.TLSv1_2
    context.set_ciphers(":".join(suites))
    try:
        with socket.create_connection((address.hostname, address.port or 443), timeout) as raw:
            with context.wrap_socket(raw, server_hostname=address.hostname) as tls:
                return True, "%s with %s" % (tls.version(), tls.cipher()[0])
    except NETWORK_ERRORS as error:
        return False, why(error, host, timeout)


def check_tls(host, timeout):
    ok10, said10 = handshake(host, WINDOWS_10_SUITES, timeout)
    ok7, said7 = handshake(host, WINDOWS_7_SUITES, timeout)
    if not ok10:
        return "FAIL", ("TLS 1.2 with Windows 10's suites failed, the control shows no page: %s"
                        % said10)
    if not ok7:
        return "WARN", ("Windows 10: %s; TLS 1.2 with Windows 7's suites failed, players there see "
                        "a blank page: %s" % (said10, said7))
    return "PASS", "Windows 10: %s; Windows 7: %s" % (said10, said7)
