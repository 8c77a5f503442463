"""TLS for the end-to-end tests: a throw-away certificate authority, server certificates, and making
Wine trust the authority and resolve test host names, without touching the machine's own files.

Wine's WinHTTP checks a server's chain against the roots that its crypt32 reads from
/etc/ssl/certs/ca-certificates.crt, and resolves names through /etc/hosts. trust() bind-mounts
copies of both (the bundle with the test authority appended, the hosts file with test names added)
over the originals. That is only allowed in a mount namespace of the test run's own (scripts/test
runs the tests under `unshare --net --mount`): anywhere else trust() refuses.
"""
import os
import shutil
import ssl
import subprocess
import tempfile

CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
HOSTS = "/etc/hosts"


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


class Authority:
    """A certificate authority in a folder of its own; issue() makes server certificates."""

    def __init__(self, folder, name="Velko Test CA"):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.key = os.path.join(folder, "ca.key")
        self.cert = os.path.join(folder, "ca.pem")
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key, "-out", self.cert,
                 "-days", "2", "-subj", "/CN=%s" % name,
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)

    def issue(self, host):
        """(certificate file, key file) for a server named `host`, signed by this authority."""
        stem = os.path.join(self.folder, host)
        with open(stem + ".ext", "w") as f:
            f.write("subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\n"
                    "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n" % host)
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", stem + ".key", "-out", stem + ".csr",
                 "-subj", "/CN=%s" % host, cwd=self.folder)
        _openssl("x509", "-req", "-in", stem + ".csr", "-CA", self.cert, "-CAkey", self.key,
                 "-CAcreateserial", "-out", stem + ".pem", "-days", "2", "-extfile", stem + ".ext", cwd=self.folder)
        return stem + ".pem", stem + ".key"


def server_context(cert, key):
    """A server-side TLS context presenting `cert`."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def in_private_mount_namespace():
    """True inside the mount namespace that scripts/test makes for the tests (it says so in
    VELKO_OWN_MOUNT_NAMESPACE): mounts made there are seen by nothing else."""
    return os.environ.get("VELKO_OWN_MOUNT_NAMESPACE") == "1"


def trust(authority_cert, hosts):
    """Makes `authority_cert` a trusted root and `hosts` ({name: address}) resolvable for every
    process started afterwards in this mount namespace. Returns a function that undoes both."""
    if os.geteuid() != 0 or not in_private_mount_namespace():
        raise RuntimeError("trust() changes /etc for the tests only inside their own mount namespace, "
                           "as root (run the tests through scripts/test)")
    folder = tempfile.mkdtemp(prefix="velko-tls-")
    bundle = os.path.join(folder, "ca-certificates.crt")
    hosts_file = os.path.join(folder, "hosts")
    with open(bundle, "wb") as out:
        if os.path.exists(CA_BUNDLE):
            with open(CA_BUNDLE, "rb") as f:
                out.write(f.read())
        with open(authority_cert, "rb") as f:
            out.write(b"\n" + f.read())
    with open(hosts_file, "w") as out:
        with open(HOSTS) as f:
            out.write(f.read())
        out.write("".join("\n%s %s" % (address, name) for name, address in hosts.items()) + "\n")
    mounted = []
    try:
        for source, target in ((bundle, CA_BUNDLE), (hosts_file, HOSTS)):
            if not os.path.exists(target):
                open(target, "a").close()
            subprocess.run(["mount", "--bind", source, target], check=True, capture_output=True)
            mounted.append(target)
    except BaseException:
        _undo(mounted, folder)
        raise
    return lambda: _undo(mounted, folder)


def _undo(mounted, folder):
    for target in reversed(mounted):
        subprocess.run(["umount", target], capture_output=True)
    shutil.rmtree(folder, True)
