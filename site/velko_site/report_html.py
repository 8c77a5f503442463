"""The report as one self-contained HTML page (velko-site report --html FILE): per product and
campaign, a chart of the copies downloaded and first run per day and beside it the campaign's
funnel, the copies downloaded, run, that received their package and that installed it (inline SVG:
no script, no file of its own, no style sheet from elsewhere), and its most common failures; the
identifiers the site did not hand out in a section of their own; then the text report's tables
(their cells, not their text) and its lines on how fresh the records are.

Each bar carries its numbers, for a reader hovering over it (<title>) and for a program reading the
page: in the daily chart (class "chart") class "downloaded" or "run", data-day (YYYY-MM-DD) and
data-count; in the funnel (class "funnel") class and data-step the step, and data-count.  A bar's
height is its count times its chart's scale (data-scale on the chart, pixels per copy), so the
picture and the numbers cannot disagree.
"""
import datetime
import html

from . import report
from .db import Outcomes

CHART_WIDTH, CHART_HEIGHT = 720, 160
FUNNEL_WIDTH = 300
FUNNEL_STEPS = ("downloaded", "run", "received", "installed")
MARGIN_LEFT, MARGIN_BOTTOM, MARGIN_TOP = 48, 22, 8
# Past this many days a chart would have bars under a pixel wide: the days are then grouped into
# weeks or longer spans, each bar a span's sum (its data-day the span's first day).
MAX_BARS = 180
# The funnel's colours, also the legend's.
COLOURS = {"downloaded": "#4a78b5", "run": "#e08a2c", "received": "#7fa650", "installed": "#2e7d4f"}

STYLE = """
body { font-family: sans-serif; margin: 2em; color: #222; }
h2 { font-size: 1.1em; margin: 1.5em 0 0.3em; }
table { border-collapse: collapse; margin-top: 1em; }
th, td { padding: 0.2em 0.8em; text-align: right; border-bottom: 1px solid #ddd; }
th:nth-child(-n+2), td:nth-child(-n+2) { text-align: left; }
.charts { display: flex; flex-wrap: wrap; gap: 1.5em; align-items: flex-end; }
.downloaded { fill: #4a78b5; }
.run { fill: #e08a2c; }
.received { fill: #7fa650; }
.installed { fill: #2e7d4f; }
table.failures { margin-top: 0.5em; font-size: 0.9em; }
.axis { stroke: #888; stroke-width: 1; }
svg text { font-size: 10px; fill: #555; }
.legend span { display: inline-block; width: 0.8em; height: 0.8em; margin: 0 0.3em 0 1em; }
"""


def _days(first, last):
    day = datetime.date.fromisoformat(first)
    end = datetime.date.fromisoformat(last)
    while day <= end:
        yield day.isoformat()
        day += datetime.timedelta(days=1)


def _axes(kind, width, scale, top):
    """The opening of one of the page's charts (class `kind`, `width` wide): the svg element, its
    two axes and the value scale's labels, top and 0."""
    base = CHART_HEIGHT - MARGIN_BOTTOM
    return ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
            'class="%s" data-scale="%r" role="img">' % (width, CHART_HEIGHT, width, CHART_HEIGHT, kind, scale),
            '<line class="axis" x1="%d" y1="%d" x2="%d" y2="%d"/>' % (MARGIN_LEFT, base, width, base),
            '<line class="axis" x1="%d" y1="%d" x2="%d" y2="%d"/>' % (MARGIN_LEFT, MARGIN_TOP, MARGIN_LEFT, base),
            '<text x="%d" y="%d" text-anchor="end">%d</text>' % (MARGIN_LEFT - 4, MARGIN_TOP + 8, top),
            '<text x="%d" y="%d" text-anchor="end">0</text>' % (MARGIN_LEFT - 4, base)]


def _chart(series):
    """The SVG of one product and campaign.  series: {day: [downloaded, run]}."""
    days = list(_days(min(series), max(series)))
    span = -(-len(days) // MAX_BARS)  # days per bar
    bars = []
    for n in range(0, len(days), span):
        downloaded = sum(series.get(day, (0, 0))[0] for day in days[n:n + span])
        run = sum(series.get(day, (0, 0))[1] for day in days[n:n + span])
        bars.append((days[n], days[min(n + span, len(days)) - 1], downloaded, run))
    top = max(max(max(d, r) for _, _, d, r in bars), 1)
    plot_height = CHART_HEIGHT - MARGIN_BOTTOM - MARGIN_TOP
    scale = plot_height / top
    slot = (CHART_WIDTH - MARGIN_LEFT) / len(bars)
    width = max(slot * 0.4, 0.5)  # two bars a day, a fifth of the slot between days
    base = CHART_HEIGHT - MARGIN_BOTTOM
    out = _axes("chart", CHART_WIDTH, scale, top)
    for n, (first, last, downloaded, run) in enumerate(bars):
        x = MARGIN_LEFT + n * slot + slot * 0.1
        when = first if first == last else "%s to %s" % (first, last)
        for kind, count, offset in (("downloaded", downloaded, 0.0), ("run", run, width)):
            height = count * scale
            out.append('<rect class="%s" data-day="%s" data-count="%d" x="%.2f" y="%.2f" width="%.2f" '
                       'height="%.2f"><title>%s: %d %s</title></rect>'
                       % (kind, first, count, x + offset, base - height, width, height, when, count, kind))
    out.append('<text x="%d" y="%d">%s</text>' % (MARGIN_LEFT, CHART_HEIGHT - 6, days[0]))
    out.append('<text x="%d" y="%d" text-anchor="end">%s</text>' % (CHART_WIDTH, CHART_HEIGHT - 6, days[-1]))
    out.append("</svg>")
    return "\n".join(out)


def _funnel(counts):
    """The SVG of one campaign's funnel.  counts: the copies of each of FUNNEL_STEPS."""
    top = max(max(counts), 1)
    plot_height = CHART_HEIGHT - MARGIN_BOTTOM - MARGIN_TOP
    scale = plot_height / top
    slot = (FUNNEL_WIDTH - MARGIN_LEFT) / len(FUNNEL_STEPS)
    width = slot * 0.7
    base = CHART_HEIGHT - MARGIN_BOTTOM
    out = _axes("funnel", FUNNEL_WIDTH, scale, top)
    for n, (step, count) in enumerate(zip(FUNNEL_STEPS, counts)):
        x = MARGIN_LEFT + n * slot + slot * 0.15
        height = count * scale
        out.append('<rect class="%s" data-step="%s" data-count="%d" x="%.2f" y="%.2f" width="%.2f" '
                   'height="%.2f"><title>%s: %d</title></rect>'
                   % (step, step, count, x, base - height, width, height, step, count))
        out.append('<text x="%.2f" y="%d" text-anchor="middle">%s</text>' % (x + width / 2, CHART_HEIGHT - 6, step))
    out.append("</svg>")
    return "\n".join(out)


def _table(css_class, headings, rows):
    """A table of text cells, each escaped in a cell of its own."""
    e = html.escape
    out = ['<table class="%s">' % css_class, "<tr>%s</tr>" % "".join("<th>%s</th>" % e(word) for word in headings)]
    out += ["<tr>%s</tr>" % "".join("<td>%s</td>" % e(cell) for cell in row) for row in rows]
    out.append("</table>")
    return out


def render(day_rows, generated, freshness=(), reported=None):
    """The page.  day_rows: [(product, campaign, day, downloaded, run)] (Database.report_all);
    generated: when, as text; freshness: the text report's lines on how fresh the records are
    (cli.freshness_lines), each a paragraph under the table; reported: the outcome reports
    (Database.report_all; None: none).  The tables are made from the same cells as the text
    report's (report.py), each value escaped in a cell of its own: a campaign's blanks or markup
    stay in its cell."""
    reported = reported or Outcomes()
    charts = {}
    for product, campaign, day, downloaded, run in day_rows:
        charts.setdefault((product, campaign), {})[day] = [downloaded, run]
    funnel, table = report.funnel_table(day_rows, reported)
    steps = {(p, c): counts for p, c, *counts in funnel}
    failures = report.failure_table(reported)
    common = reported.most_common_failures()
    e = html.escape
    legend = "".join('<span class="%s" style="background:%s"></span>%s' % (step, COLOURS[step], step)
                     for step in FUNNEL_STEPS)
    out = ["<!DOCTYPE html>", '<html lang="en">', "<head>", '<meta charset="utf-8">',
           "<title>velko-site: copies downloaded, run and installed</title>", "<style>%s</style>" % STYLE,
           "</head>", "<body>", "<h1>Copies downloaded, run and installed</h1>",
           "<p>Generated %s. Days are UTC; a copy counts as run on the day of the first information "
           "request that named it. Received: its run downloaded the package in full and checked it; "
           "installed: the installer succeeded. Each copy counts once, however often it ran.</p>" % e(generated),
           '<p class="legend">%s</p>' % legend]
    for (product, campaign), series in sorted(charts.items()):
        out.append('<section class="product" data-product="%s" data-campaign="%s">' % (e(product), e(campaign)))
        out.append("<h2>%s, %s</h2>" % (e(product), e("campaign " + campaign if campaign else "no campaign")))
        out += ['<div class="charts">', _chart(series), _funnel(steps[product, campaign]), "</div>"]
        shown = common.get((product, campaign))
        if shown:
            out += _table("failures", report.FAILURE_HEADINGS[2:], report.failure_cells(shown))
        out.append("</section>")
    if not charts:
        out.append("<p>No downloads yet.</p>")
    if reported.unknown[0]:
        out.append('<section class="unknown"><h2>Identifiers the site did not hand out</h2>')
        out.append("<p>%d reported how their run ended; %d received their package, %d installed it. "
                   "They are counted here only, never as a campaign's.</p>" % reported.unknown)
        shown = common.get((None, None))
        if shown:
            out += _table("failures", report.FAILURE_HEADINGS[2:], report.failure_cells(shown))
        out.append("</section>")
    out += _table("report", report.FUNNEL_HEADINGS, table)
    if failures:
        out += _table("report-failures", report.FAILURE_HEADINGS, failures)
    elif table:
        out.append("<p>No failures reported.</p>")
    out += ['<p class="freshness">%s</p>' % e(line) for line in freshness]
    out += ["</body>", "</html>", ""]
    return "\n".join(out)
