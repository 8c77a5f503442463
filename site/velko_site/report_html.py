"""The report as one self-contained HTML page (velko-site report --html FILE): per product and
campaign, a chart of the copies downloaded and first run per day (inline SVG: no script, no file
of its own, no style sheet from elsewhere), then the text report's table (its rows, not its text)
and its lines on how fresh the records are.

Each bar carries its numbers, for a reader hovering over it (<title>) and for a program reading the
page: class "downloaded" or "run", data-day (YYYY-MM-DD) and data-count.  A bar's height is its
count times the chart's scale (data-scale on the chart, pixels per copy), so the picture and the
numbers cannot disagree.
"""
import datetime
import html

from .db import totals

CHART_WIDTH, CHART_HEIGHT = 720, 160
MARGIN_LEFT, MARGIN_BOTTOM, MARGIN_TOP = 48, 22, 8
# Past this many days a chart would have bars under a pixel wide: the days are then grouped into
# weeks or longer spans, each bar a span's sum (its data-day the span's first day).
MAX_BARS = 180
# The table's columns, as the text report names them.
TABLE_HEADINGS = ("product", "campaign", "downloaded", "run", "ratio")

STYLE = """
body { font-family: sans-serif; margin: 2em; color: #222; }
h2 { font-size: 1.1em; margin: 1.5em 0 0.3em; }
table { border-collapse: collapse; margin-top: 1em; }
th, td { padding: 0.2em 0.8em; text-align: right; border-bottom: 1px solid #ddd; }
th:nth-child(-n+2), td:nth-child(-n+2) { text-align: left; }
.downloaded { fill: #4a78b5; }
.run { fill: #e08a2c; }
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
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
           'class="chart" data-scale="%r" role="img">' % (CHART_WIDTH, CHART_HEIGHT, CHART_WIDTH, CHART_HEIGHT,
                                                           scale),
           '<line class="axis" x1="%d" y1="%d" x2="%d" y2="%d"/>' % (MARGIN_LEFT, base, CHART_WIDTH, base),
           '<line class="axis" x1="%d" y1="%d" x2="%d" y2="%d"/>' % (MARGIN_LEFT, MARGIN_TOP, MARGIN_LEFT, base),
           '<text x="%d" y="%d" text-anchor="end">%d</text>' % (MARGIN_LEFT - 4, MARGIN_TOP + 8, top),
           '<text x="%d" y="%d" text-anchor="end">0</text>' % (MARGIN_LEFT - 4, base)]
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


def render(day_rows, generated, freshness=()):
    """The page.  day_rows: [(product, campaign, day, downloaded, run)] (Database.report_days);
    generated: when, as text; freshness: the text report's lines on how fresh the records are
    (cli.freshness_lines), each a paragraph under the table.  The table is made from the same rows
    as the text report's (db.totals), each value escaped in a cell of its own: a campaign's blanks
    or markup stay in its cell."""
    charts = {}
    for product, campaign, day, downloaded, run in day_rows:
        charts.setdefault((product, campaign), {})[day] = [downloaded, run]
    e = html.escape
    out = ["<!DOCTYPE html>", '<html lang="en">', "<head>", '<meta charset="utf-8">',
           "<title>velko-site: copies downloaded and run</title>", "<style>%s</style>" % STYLE, "</head>",
           "<body>", "<h1>Copies downloaded and run</h1>",
           "<p>Generated %s. Days are UTC; a copy counts as run on the day of the first information "
           "request that named it.</p>" % e(generated),
           '<p class="legend"><span class="downloaded" style="background:#4a78b5"></span>downloaded'
           '<span class="run" style="background:#e08a2c"></span>run</p>']
    for (product, campaign), series in sorted(charts.items()):
        out.append('<section class="product" data-product="%s" data-campaign="%s">' % (e(product), e(campaign)))
        out.append("<h2>%s, %s</h2>" % (e(product), e("campaign " + campaign if campaign else "no campaign")))
        out.append(_chart(series))
        out.append("</section>")
    if not charts:
        out.append("<p>No downloads yet.</p>")
    out.append('<table class="report">')
    out.append("<tr>%s</tr>" % "".join("<th>%s</th>" % word for word in TABLE_HEADINGS))
    for product, campaign, downloaded, run in totals(day_rows):
        cells = (product, campaign or "(none)", "%d" % downloaded, "%d" % run, "%.1f%%" % (100.0 * run / downloaded))
        out.append("<tr>%s</tr>" % "".join("<td>%s</td>" % e(cell) for cell in cells))
    out.append("</table>")
    out += ['<p class="freshness">%s</p>' % e(line) for line in freshness]
    out += ["</body>", "</html>", ""]
    return "\n".join(out)
