"""velko-site: the publisher's download site.  Hands out tagged copies of the stub, answers the
running copies' information requests and their outcome reports, and reports per campaign which
downloads were run, received their package and installed it.

    app.py      the WSGI application (create_app)
    config.py   the TOML configuration and its checks
    db.py       the records, in SQLite or PostgreSQL
    outcomes.py the outcome codes a stub reports at the end of its run
    report.py   the report's tables, for the text and the page (report_html.py)
    serve.py    the gunicorn command line, and starting gunicorn for the tests, demo and benchmark
    cli.py      the velko-site command
"""
from .app import create_app
from .config import ConfigError

__all__ = ["create_app", "ConfigError"]
