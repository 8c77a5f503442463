"""The benchmark's application: the download site, plus two routes to compare it with, served by
the same gunicorn in the same run:

    /static/velko-stub.exe      the untagged stub as a static file: wsgi.file_wrapper over the open
                                file, which gunicorn sends with sendfile
    /unrecorded/<product>       a tagged copy as the site makes it (a new identifier), but not
                                journaled: what minting, tagging and streaming cost without the
                                record
    /unrecorded-info            the information endpoint's answer for the default product, neither
                                verified nor journaled (whatever the query: the benchmark asks it
                                with an information request's)
"""
import os

import velko_site
import velko_tag
from velko_site import identifiers

STATIC_PATH = "/static/velko-stub.exe"
UNRECORDED_PREFIX = "/unrecorded/"
UNRECORDED_INFO = "/unrecorded-info"


def create_app(config_path):
    site = velko_site.create_app(config_path)
    stub = site.config.products[site.config.default_product].stub
    default_answer = b"<MSIURL>" + site.config.products[site.config.default_product].package_url.encode() + b"</MSIURL>"

    def app(environ, start_response):
        path = environ.get("PATH_INFO", "")
        if path == UNRECORDED_INFO:
            start_response("200 OK", [("Content-Type", "text/plain; charset=us-ascii"),
                                      ("Content-Length", str(len(default_answer))), ("Cache-Control", "no-store")])
            return [default_answer]
        if path.startswith(UNRECORDED_PREFIX):
            name = path[len(UNRECORDED_PREFIX):]
            copy = site.stubs.copy(name, identifiers.mint(site.config.keys, name, ""))
            start_response("200 OK", [("Content-Type", "application/octet-stream"),
                                      ("Content-Length", str(len(copy)))])
            return [copy]
        if path != STATIC_PATH:
            return site(environ, start_response)
        f = open(stub, "rb")
        start_response("200 OK", [("Content-Type", "application/octet-stream"),
                                  ("Content-Length", str(os.fstat(f.fileno()).st_size)),
                                  ("Content-Disposition", 'attachment; filename="velko-stub.exe"')])
        return environ["wsgi.file_wrapper"](f, velko_tag.COPY_BLOCK)
    return app
