"""The benchmark's application: the download site, plus two routes to compare it with, served by
the same gunicorn in the same run:

    /static/velko-stub.exe      the untagged stub as a static file: wsgi.file_wrapper over the open
                                file, which gunicorn sends with sendfile
    /unrecorded/<product>       a tagged copy as the site makes it, but recorded nowhere: what
                                tagging and streaming cost without the database
"""
import os

import velko_site
import velko_tag
from velko_site.app import COPY_BLOCK, CopyReader

STATIC_PATH = "/static/velko-stub.exe"
UNRECORDED_PREFIX = "/unrecorded/"


def create_app(config_path):
    site = velko_site.create_app(config_path)
    stub = site.config.products[site.config.default_product].stub

    def app(environ, start_response):
        path = environ.get("PATH_INFO", "")
        if path.startswith(UNRECORDED_PREFIX):
            copy = velko_tag.plan_copy(site.stubs.get(path[len(UNRECORDED_PREFIX):]), velko_tag.random_id())
            start_response("200 OK", [("Content-Type", "application/octet-stream"),
                                      ("Content-Length", str(copy.length))])
            return environ["wsgi.file_wrapper"](CopyReader(copy), COPY_BLOCK)
        if path != STATIC_PATH:
            return site(environ, start_response)
        f = open(stub, "rb")
        start_response("200 OK", [("Content-Type", "application/octet-stream"),
                                  ("Content-Length", str(os.fstat(f.fileno()).st_size)),
                                  ("Content-Disposition", 'attachment; filename="velko-stub.exe"')])
        return environ["wsgi.file_wrapper"](f, COPY_BLOCK)
    return app
