"""The report's tables as cells (texts), shared by the text report (cli.py) and the page
(report_html.py), so that the two show the same values.

The funnel, per product and campaign: the copies downloaded, run (an information request named
them), the share of those run, the copies that received their package (downloaded in full and
checked: outcomes.RECEIVED) and those that installed (outcomes.INSTALLED), each copy once however
often it ran.  The identifiers the site did not hand out have one row of their own, never a
campaign's: nothing is downloaded of them, and their "run" is how many reported an outcome.

The failures: per product and campaign the most common outcomes other than installed, with their
detail and the copies that reported them (a copy that failed twice the same way counts once).
"""
from .db import funnel_rows

UNKNOWN = "(unknown identifiers)"
NONE = "(none)"
FUNNEL_HEADINGS = ("product", "campaign", "downloaded", "run", "ratio", "received", "installed")
FAILURE_HEADINGS = ("product", "campaign", "failure", "detail", "copies")


def funnel_table(day_rows, reported):
    """[(product, campaign, downloaded, run, received, installed)] (numbers as numbers) and the
    table's rows of cells.  day_rows and reported: Database.report_all()'s two."""
    funnel = funnel_rows(day_rows, reported)
    cells = [(p, c or NONE, "%d" % d, "%d" % r, "%.1f%%" % (100.0 * r / d), "%d" % rec, "%d" % ins)
             for p, c, d, r, rec, ins in funnel]
    identifiers, received, installed = reported.unknown
    if identifiers:
        cells.append((UNKNOWN, "", "-", "%d" % identifiers, "-", "%d" % received, "%d" % installed))
    return funnel, cells


def failure_table(reported):
    """The failures' rows of cells, per product and campaign (sorted, the unknown identifiers'
    last) the most common first."""
    common = reported.most_common_failures()
    cells = []
    for key in sorted((k for k in common if k != (None, None))) + [k for k in common if k == (None, None)]:
        product, campaign = (UNKNOWN, "") if key == (None, None) else (key[0], key[1] or NONE)
        cells += [(product, campaign, *row) for row in failure_cells(common[key])]
    return cells


def failure_cells(failures):
    """[(outcome, detail, copies)] as cells."""
    return [(outcome, detail or NONE, "%d" % copies) for outcome, detail, copies in failures]
