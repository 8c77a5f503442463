"""How the local server answers: behaviours, and the reply a behaviour plans for one request.

A behaviour is a string. Items joined by "," answer successive requests of a path (its first
request, its second, ...) and the last item repeats; "ITEM*N" stands for N copies of ITEM. An item
is a name with its parameters after ":".

    ok                      200, Content-Length, the whole body; or, for a request with
                            "Range: bytes=N-" (and an If-Range that matches the content's ETag or
                            Last-Modified, when it has one), 206 with the rest from N
    norange                 like ok, but Range is ignored: always 200 and the whole body
    badrange:WHAT           a range answered wrongly: 206 with a Content-Range whose start ("start")
                            or total ("total") is off by one, or with none ("none")
    changed                 the content changes first (a new ETag and Last-Modified), then like ok
    malformed               "GARBAGE\\r\\n\\r\\n" in place of a status line, then close
    reset[:BYTES]           like ok (ranges honoured), but only BYTES of the body (default half)
                            are sent, then a connection reset (RST) once they have left the send queue
    short[:BYTES]           the same, but a normal close (FIN)
    chunked                 Transfer-Encoding: chunked in 64 KiB chunks, no Content-Length
    status:CODE[:SECONDS]   that status with a small HTML page (and Retry-After: SECONDS); 1xx, 204
                            and 304 with no page and no Content-Length
    empty                   200, Content-Length: 0, no body
    long                    the whole body, then 1024 bytes more than the Content-Length announced
    trickle[:STEP[:DELAY]]  the whole body in STEP-byte pieces (default 1024) with DELAY seconds
                            between them (default 0.05)
    paced:RATE              like ok (ranges honoured), the body sent at RATE bytes a second at most
                            (in 256 KiB pieces, each sent when the rate allows it)
    hang[:SECONDS]          nothing at all; close after SECONDS (default: when the server stops)
    redirect[:CODE]         that status (default 302) with a Location header (StubServer.add_redirect)

Examples: "reset", "status:500,ok", "malformed*2,ok", "malformed,status:404", "trickle:65536:0.06",
"reset:300000,reset:300000,ok" (dropped twice, then the rest), "status:503:3,ok".
"""
import dataclasses
import html
import http
import re

GARBAGE = b"GARBAGE\r\n\r\n"
CHUNK_BYTES = 65536
LONG_EXTRA_BYTES = 1024
PACED_PIECE_BYTES = 262144


@dataclasses.dataclass(frozen=True)
class Step:
    """One way of answering a request: a behaviour name and its parameters."""
    name: str
    nbytes: int = None     # reset, short: body bytes sent (None: half)
    code: int = 200        # status, redirect
    step: int = 1024       # trickle: bytes per piece
    delay: float = 0.05    # trickle: seconds between pieces
    seconds: float = None  # hang: seconds before the close (None: until the server stops)
    retry_after: int = None  # status: the Retry-After header's seconds
    what: str = None       # badrange: what is wrong
    rate: int = None       # paced: bytes a second

    def label(self):
        return "%s:%d" % (self.name, self.code) if self.name in ("status", "redirect") else self.name


# Each behaviour's parameters, in the order an item gives them, with their types.
_PARAMETERS = {
    "ok": (), "malformed": (), "chunked": (), "empty": (), "long": (), "norange": (), "changed": (),
    "reset": (("nbytes", int),), "short": (("nbytes", int),),
    "status": (("code", int), ("retry_after", int)),
    "badrange": (("what", str),),
    "trickle": (("step", int), ("delay", float)),
    "hang": (("seconds", float),),
    "paced": (("rate", int),),
    "redirect": (("code", int),),
}


class Behaviour:
    """The steps for a path's successive requests; the last one repeats."""

    def __init__(self, text):
        self.steps = []
        for item in text.split(","):
            item, star, repeat = item.strip().partition("*")
            try:
                count = int(repeat) if star else 1
            except ValueError:
                raise ValueError("bad repeat in %r" % text) from None
            if count < 1:
                raise ValueError("repeat must be at least 1 in %r" % text)
            self.steps += [_parse_step(item)] * count

    def step_for(self, index):
        """The step for the path's request number `index` (0 for the first)."""
        return self.steps[min(index, len(self.steps) - 1)]


def _parse_step(item):
    name, *args = item.split(":")
    if name not in _PARAMETERS:
        raise ValueError("unknown behaviour %r (known: %s)" % (name, ", ".join(_PARAMETERS)))
    parameters = _PARAMETERS[name]
    if len(args) > len(parameters):
        raise ValueError("too many parameters in %r" % item)
    values = {}
    for (key, kind), text in zip(parameters, args):
        try:
            values[key] = kind(text)
        except ValueError:
            raise ValueError("bad %s %r in %r" % (key, text, item)) from None
        if kind is not str and values[key] < (1 if key in ("step", "rate") else 0):
            raise ValueError("%s out of range in %r" % (key, item))
    if name == "status" and not 100 <= values.get("code", 0) <= 999:
        raise ValueError("status needs a code from 100 to 999: %r" % item)
    if name == "redirect":
        values.setdefault("code", 302)
    if name == "paced" and "rate" not in values:
        raise ValueError("paced needs a rate in bytes a second: %r" % item)
    if name == "badrange" and values.get("what") not in ("start", "total", "none"):
        raise ValueError("badrange needs start, total or none: %r" % item)
    return Step(name, **values)


@dataclasses.dataclass
class Reply:
    """What to send for one request, decided before anything is sent.

    With status 0 there is no HTTP reply: `raw` is sent as it is. Otherwise the status line and
    `headers`, then `page` if there is one, else `count` bytes of the content from `offset` (chunked,
    or in pieces of `piece` bytes `delay` seconds apart when `delay` is set), then `extra`."""
    status: int = 200
    headers: list = dataclasses.field(default_factory=list)
    raw: bytes = b""
    page: bytes = b""
    offset: int = 0
    count: int = 0
    chunked: bool = False
    piece: int = CHUNK_BYTES
    delay: float = 0.0
    extra: bytes = b""
    rate: int = 0          # the body at most this many bytes a second (0: as fast as it goes)
    wait: float = 0.0      # seconds before anything is sent (None: until the server stops)
    ending: str = "close"  # "close" (FIN) or "reset" (RST)


@dataclasses.dataclass
class Content:
    """What plan_reply needs to know of the content a request asks for."""
    size: int
    content_type: str
    etag: str = None           # the validators sent with it (None: not sent)
    last_modified: str = None
    location: str = None       # where a redirect points


def requested_start(request, content):
    """The N of a "Range: bytes=N-" that this content can answer with a part (its If-Range, if any,
    matching a validator), or None: then the whole content is the answer."""
    value = request.header("Range")
    match = re.fullmatch(r"\s*bytes=(\d+)-\s*", value or "")
    if not match or not 0 < int(match.group(1)) < content.size:
        return None
    condition = request.header("If-Range")
    if condition is not None and condition not in (content.etag, content.last_modified):
        return None
    return int(match.group(1))


def plan_reply(step, request, content):
    """The reply to `request` (method, path and headers at hand) under `step`, for `content`. Every
    request's reply is decided here."""
    name = step.name
    size, content_type = content.size, content.content_type
    if name == "redirect":
        return Reply(status=step.code, headers=[("Location", content.location or "/"), ("Content-Length", "0")])
    if name == "malformed":
        return Reply(status=0, raw=GARBAGE)
    if name == "hang":
        return Reply(status=0, wait=step.seconds)
    if name == "status":
        # These statuses have no content (RFC 9110): the status line and headers are all.
        if step.code in (204, 304) or step.code < 200:
            return Reply(status=step.code)
        reason = reason_phrase(step.code)
        page = ('<html><head><title>{0} {1}</title></head><body><h1>{0} {1}</h1></body></html>\r\n'
                .format(step.code, html.escape(reason))).encode()
        headers = [("Content-Type", "text/html"), ("Content-Length", str(len(page)))]
        if step.retry_after is not None:
            headers.append(("Retry-After", str(step.retry_after)))
        return Reply(status=step.code, page=page, headers=headers)
    validators = [(n, v) for n, v in (("ETag", content.etag), ("Last-Modified", content.last_modified)) if v]
    if name == "chunked":
        return Reply(headers=[("Content-Type", content_type), ("Transfer-Encoding", "chunked")],
                     count=size, chunked=True)
    if name == "empty":
        return Reply(headers=[("Content-Type", content_type), ("Content-Length", "0")])
    start = None if name == "norange" else requested_start(request, content)
    if start is None and name == "badrange" and request.header("Range"):
        start = int(re.search(r"\d+", request.header("Range")).group(0))
    if start is None:
        reply = Reply(headers=[("Content-Type", content_type), ("Content-Length", str(size))] + validators,
                      count=size)
    else:
        first, total = start, size
        if name == "badrange" and step.what == "start":
            first += 1
        elif name == "badrange" and step.what == "total":
            total += 1
        headers = [("Content-Type", content_type), ("Content-Length", str(size - start))] + validators
        if not (name == "badrange" and step.what == "none"):
            headers.append(("Content-Range", "bytes %d-%d/%d" % (first, size - 1, total)))
        reply = Reply(status=206, headers=headers, offset=start, count=size - start)
    if name in ("reset", "short"):
        part = reply.count
        reply.count = part // 2 if step.nbytes is None else min(step.nbytes, part)
        reply.ending = "reset" if name == "reset" else "close"
    elif name == "trickle":
        reply.piece, reply.delay = step.step, step.delay
    elif name == "paced":
        reply.piece, reply.rate = PACED_PIECE_BYTES, step.rate
    elif name == "long":
        reply.extra = b"X" * LONG_EXTRA_BYTES
    return reply


def reason_phrase(code):
    try:
        return http.HTTPStatus(code).phrase
    except ValueError:
        return "Unknown"
