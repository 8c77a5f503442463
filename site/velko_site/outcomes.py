"""How a run of the stub ended, as the stub reports it once its run is over:

    GET /outcome?outcome=<code>&detail=<detail>&version=<version>&arch=<arch>&session=<identifier>

The code says how the run ended, the detail (possibly empty) a little more: the stage a user
cancelled in, the class of a network failure (name, connect, tls, proxy, http-NNN, timeout, other),
what a package check found, the installer's exit code.  Codes and details are lower-case letters,
digits and '-', at most 24 characters; version is the stub's own ("1.0"), arch the stub's build
(x86 or x64).  The identifier comes last, as the information request sends it.

What the report makes of them: a copy whose run reached the package (RECEIVED: downloaded in
full, checked, and handed to the installer or stopped just before it) and a copy that installed
(INSTALLED); every other outcome is where a copy was lost (FAILURES).
"""
import re

OUTCOMES = ("installed", "installed-restart-needed", "cancelled", "info-failed", "no-package-url",
            "download-failed", "not-published", "file-error", "installer-not-started", "installer-failed",
            "another-installation")
INSTALLED = ("installed", "installed-restart-needed")
RECEIVED = INSTALLED + ("installer-failed", "installer-not-started", "another-installation")
FAILURES = tuple(code for code in OUTCOMES if code not in INSTALLED)

DETAIL = re.compile(rb"[a-z0-9-]{0,24}")
VERSION = re.compile(rb"[A-Za-z0-9.-]{1,24}")
ARCHES = (b"x86", b"x64")
# The parameters a report must carry, in the order the stub sends them.
PARAMETERS = (b"outcome", b"detail", b"version", b"arch", b"session")


class BadReport(ValueError):
    """A report that is not of the form above; its text says what is wrong."""


def check(values):
    """The report's values as texts: (outcome, detail, version, arch).  values: {parameter name:
    its first value} (bytes) of the parameters that were there.  The session is verified by the
    caller, as an information request's is; here it must only be there and not be empty.  Raises
    BadReport."""
    missing = [name.decode() for name in PARAMETERS if name not in values]
    if missing:
        raise BadReport("missing parameter(s): %s" % ", ".join(missing))
    outcome, detail, version, arch = (values[name] for name in PARAMETERS[:4])
    if outcome.decode("latin-1") not in OUTCOMES:
        raise BadReport("unknown outcome")
    if not DETAIL.fullmatch(detail):
        raise BadReport("a detail is up to 24 lower-case letters, digits or '-'")
    if not VERSION.fullmatch(version):
        raise BadReport("a version is 1 to 24 letters, digits, '.' or '-'")
    if arch not in ARCHES:
        raise BadReport("arch is x86 or x64")
    if not values[b"session"]:
        raise BadReport("empty session")
    return outcome.decode("ascii"), detail.decode("ascii"), version.decode("ascii"), arch.decode("ascii")
