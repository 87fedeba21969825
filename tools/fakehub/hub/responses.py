"""An answer being built (status, headers, a body or file bytes to stream) and the hub's ways of
writing JSON, errors and redirects."""

import base64
import hashlib
import json

WWW_AUTH = 'Bearer realm="Authentication required", charset="UTF-8"'


class Resp:
    def __init__(self, status, body=b"", ctype="text/plain; charset=utf-8", headers=None,
                 source=None, rate=None, carries=False):
        self.status, self.ctype = status, ctype
        self.headers = list(headers or [])
        self.body = body.encode("utf-8") if isinstance(body, str) else body
        self.source, self.rate = source, rate
        self.carries = carries      # a redirect: its faults travel in the Location instead
        self.ranged = False         # file bytes: Range requests apply
        self.cdn = False            # served through the storage network: gzip turns Range off
        self.items, self.dated = 0, False   # listing items, and whether they carry dates (cost)
        self.file_key = None
        self.start, self.length, self.cut = 0, None, None

    def header(self, name):
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return None


def dumps(obj):
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def json_resp(obj, status=200, headers=()):
    body = dumps(obj)
    tag = base64.b64encode(hashlib.md5(body).digest()).decode()[:22]
    return Resp(status, body, "application/json; charset=utf-8",
                [("ETag", f'W/"{len(body):x}-{tag}{"0" * 5}"')] + list(headers))


def error_resp(status, msg, api, code=None, www=False, headers=()):
    h = [("X-Error-Message", msg)] + ([("X-Error-Code", code)] if code else [])
    if www:
        h.append(("WWW-Authenticate", WWW_AUTH))
    h += list(headers)
    return json_resp({"error": msg}, status, h) if api else Resp(status, msg, headers=h)


def redirect_resp(status, location, extra=()):
    reason = "Found" if status == 302 else "Temporary Redirect"
    return Resp(status, f"{reason}. Redirecting to {location}",
                headers=[("Location", location)] + list(extra), carries=True)
