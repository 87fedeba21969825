"""A request as the routes see it: its decoded path and query, the caller, the faults in force
and the page it asks for; and the paging every listing shares."""

import base64

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
