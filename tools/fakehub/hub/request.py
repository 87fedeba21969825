"""A request as the routes see it: its decoded path and query, the caller, the faults in force
and the page it asks for; and the paging every listing shares."""

import base64
import time

from hub.faults import FaultError
from hub.responses import dumps


class Ctx:
    def __init__(self, **fields):
        self.__dict__.update(fields)

    def param(self, name, default=None):
        for k, v in self.params:
            if k == name:
                return v
        return default

    def limit(self, default, cap):
        """The page size asked for, within the hub's cap; a limit that is no number is refused."""
        v = self.param("limit")
        try:
            n = int(v) if v not in (None, "") else default
        except ValueError:
            raise FaultError(f"bad limit {v!r}")
        return max(1, min(n, cap))

    def next_link(self, offset, page):
        cur = base64.urlsafe_b64encode(dumps({"o": offset, "p": page})).decode()
        keep = [p for p in self.raw_query.split("&") if p and p.split("=", 1)[0] != "cursor"]
        q = "&".join(keep + ["cursor=" + cur.replace("=", "%3D")])
        return ("Link", f'<{self.origin}{self.prefix}{self.raw_path}?{q}>; rel="next"')

    def page_of(self, items, size, full_link=False):
        """This request's slice of items and, while items remain, the Link to the next page."""
        chunk = items[self.offset:self.offset + size]
        more = self.offset + size < len(items) or (full_link and len(chunk) == size)
        return chunk, [self.next_link(self.offset + size, self.page + 1)] if more else []


class HangUp(Exception):
    """The hub closes the connection without an answer (a storage upload cut off part-way)."""


class BodyError(Exception):
    """A request body the hub cannot take: the status and the message it answers with."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status, self.message = status, message


def body_pieces(c, piece=1 << 16, rate=None, cut=None):
    """The request body in pieces as they arrive (Content-Length, or chunked), paced at rate bytes a
    second when given (a per-connection cap); after cut bytes the hub hangs up (HangUp)."""
    c.body_read = True
    started, got = time.monotonic(), 0

    def take(n):
        nonlocal got
        if cut is not None:
            if got >= cut:
                raise HangUp()
            n = min(n, cut - got)
        data = c.rfile.read(n)
        if len(data) < n:
            raise HangUp()          # the client hung up: nothing to answer
        got += len(data)
        if rate:
            ahead = started + got / float(rate) - time.monotonic()
            if ahead > 0:
                time.sleep(ahead)
        return data

    if "chunked" in c.headers.get("Transfer-Encoding", "").lower():
        while True:
            line = c.rfile.readline(1024)
            try:
                size = int(line.split(b";")[0].strip(), 16)
            except ValueError:
                raise BodyError(400, "bad chunked body")
            if size == 0:
                while c.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                    pass
                return
            while size:
                data = take(min(piece, size))
                yield data
                size -= len(data)
            c.rfile.readline(16)
    length = c.headers.get("Content-Length")
    try:
        left = int(length) if length is not None else 0
    except ValueError:
        raise BodyError(400, "bad Content-Length")
    while left > 0:
        data = take(min(piece, left))
        yield data
        left -= len(data)


def read_body(c, limit):
    """The whole request body, refused (413) past limit bytes."""
    length = c.headers.get("Content-Length")
    if length is not None and length.strip().isdigit() and int(length) > limit:
        raise BodyError(413, "Payload Too Large")
    parts, size = [], 0
    for p in body_pieces(c):
        size += len(p)
        if size > limit:
            raise BodyError(413, "Payload Too Large")
        parts.append(p)
    return b"".join(parts)
