"""cert FILE: the front serves FILE (certificate, chain, then key, PEM) from
its next handshake on, through the runtime API's transaction (`set ssl
cert`, `commit ssl cert`); connections already open keep theirs, so no
request is dropped. HAProxy knows a certificate by the file name it loaded
it from, which `show ssl cert` lists: FRONT_CERT names it when set to a
file; otherwise gmi-fleet finds it there itself."""

import hashlib
import os
import ssl

from .errors import Failed
from .steps import Step, perform, say


def read_certificate(path):
    """FILE's PEM without empty lines (an empty line ends the runtime API's
    payload) and its certificate's SHA-256 fingerprint, once Python's TLS
    has loaded it with its key: a key that does not match is refused here,
    not at the front."""
    begin, end = "-----BEGIN CERTIFICATE-----", "-----END CERTIFICATE-----"
    try:
        with open(path) as text:
            pem = text.read()
        if begin not in pem or "PRIVATE KEY-----" not in pem:
            raise Failed(f"not a certificate with its key (PEM): {path}")
        ssl.create_default_context().load_cert_chain(path)
    except (OSError, ssl.SSLError) as error:
        raise Failed(f"cannot use it: {error.strerror or error}") from None
    first = pem[pem.index(begin):pem.index(end) + len(end)]
    digest = hashlib.sha256(ssl.PEM_cert_to_DER_cert(first)).hexdigest().upper()
    fingerprint = ":".join(digest[i:i + 2] for i in range(0, len(digest), 2))
    return "\n".join(line for line in pem.splitlines() if line.strip()), fingerprint


def loaded_name(loaded, front_cert, path):
    """Which of the loaded certificates FILE replaces: FRONT_CERT when it
    names a file; in a FRONT_CERT directory, or among all of them when it is
    unset, the one that is alone or that has FILE's base name."""
    if front_cert and not os.path.isdir(front_cert):
        if front_cert not in loaded:
            raise Failed(f"the front loaded no certificate {front_cert} (FRONT_CERT); "
                         f"it has {', '.join(loaded) or 'none'}")
        return front_cert
    candidates = [name for name in loaded
                  if not front_cert or os.path.dirname(name) == front_cert.rstrip("/")]
    if len(candidates) > 1:
        candidates = [name for name in candidates
                      if os.path.basename(name) == os.path.basename(path)]
    if len(candidates) != 1:
        place = f" in {front_cert}" if front_cert else ""
        raise Failed(f"no single certificate{place} for {os.path.basename(path)} among those "
                     f"the front loaded: {', '.join(loaded) or 'none'}; set FRONT_CERT to the "
                     f"one it replaces")
    return candidates[0]


def replace_certificate(api, path, front_cert, dry_run):
    path = os.path.abspath(path)
    found = {}

    def read():
        found["pem"], found["fingerprint"] = read_certificate(path)

    def find():
        found["name"] = loaded_name(api.loaded_certificates(), front_cert, path)

    def set_():
        answer = api.command(f"set ssl cert {found['name']}", payload=found["pem"])
        if not answer.startswith("Transaction"):
            abort()
            raise Failed(f"the runtime API refused it: {' '.join(answer.split()) or 'nothing'}")

    def commit():
        answer = api.command(f"commit ssl cert {found['name']}")
        if "Success!" not in answer:
            abort()
            raise Failed(f"the runtime API did not commit it: {' '.join(answer.split())}")

    def abort():
        # Best effort: an open transaction would hold the next `set ssl cert`.
        try:
            api.command(f"abort ssl cert {found['name']}")
        except Failed:
            pass

    if front_cert and not os.path.isdir(front_cert):
        name, which = front_cert, f"{front_cert} (FRONT_CERT) among"
    else:
        name, which = "NAME", "NAME, the one it replaces, in"
    unchanged = "the old certificate served"
    perform(path, [
        Step("read", "load it as a certificate, its chain, then its key", read, unchanged),
        Step("find", f"{which} the certificates the front loaded (show ssl cert)", find, unchanged),
        Step("set", f"set ssl cert {name} <<{path}", set_, unchanged),
        Step("commit", f"commit ssl cert {name}", commit, "served from the next handshake on"),
    ], dry_run, unchanged)
    if not dry_run:
        say(f"{path} sha256 Fingerprint={found['fingerprint']}")
    return 0
