"""Git's path patterns as `.gitattributes` and `.gitignore` write them: which paths a repository
stores in LFS, which a commit leaves out, and the line a commit adds to track a large file."""

import re

_CLASSES = {"alnum": "a-zA-Z0-9", "alpha": "a-zA-Z", "blank": " \\t", "digit": "0-9",
            "lower": "a-z", "punct": re.escape("!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~"),
            "space": "\\s", "upper": "A-Z", "xdigit": "0-9a-fA-F"}


def _bracket(pat, i):
    """The regex class of the bracket expression at pat[i] ("["), and the index after it; None when
    it never closes (then "[" is a plain character, as in git)."""
    j, out = i + 1, []
    if j < len(pat) and pat[j] in "!^":
        out.append("^")
        j += 1
    first = True
    while j < len(pat) and (pat[j] != "]" or first):
        first = False
        if pat.startswith("[:", j):
            end = pat.find(":]", j + 2)
            name = pat[j + 2:end] if end > 0 else None
            if name in _CLASSES:
                out.append(_CLASSES[name])
                j = end + 2
                continue
        if pat[j] == "\\" and j + 1 < len(pat):
            j += 1
        out.append(re.escape(pat[j]) if pat[j] not in "-" else "-")
        j += 1
    if j >= len(pat):
        return None, i + 1
    return "[" + "".join(out) + "]", j + 1


def _regex(pat):
    """The regex of a glob over a whole path: "*" and "?" stop at "/", "**" between slashes spans
    folders."""
    out, i = [], 0
    while i < len(pat):
        ch = pat[i]
        if pat.startswith("**/", i) and (i == 0 or pat[i - 1] == "/"):
            out.append("(?:.*/)?")
            i += 3
        elif pat.startswith("**", i) and i + 2 == len(pat) and (i == 0 or pat[i - 1] == "/"):
            out.append(".*")
            i += 2
        elif ch == "*":
            out.append("[^/]*")
            i += 1
        elif ch == "?":
            out.append("[^/]")
            i += 1
        elif ch == "[":
            cls, i = _bracket(pat, i)
            out.append(cls if cls is not None else re.escape("["))
        elif ch == "\\" and i + 1 < len(pat):
            out.append(re.escape(pat[i + 1]))
            i += 2
        else:
            out.append(re.escape(ch))
            i += 1
    return re.compile("".join(out) + r"\Z", re.S)


class Pattern:
    def __init__(self, text):
        self.negated = text.startswith("!")
        text = text[1:] if self.negated else text
        self.dir_only = text.endswith("/") and not text.endswith("\\/")
        text = text.rstrip("/") if self.dir_only else text
        # A pattern with a slash before its end is anchored at the root; one without one matches
        # a name at any depth.
        self.anchored = "/" in text
        self.regex = _regex(text.lstrip("/"))

    def matches(self, path, is_dir=False):
        if self.dir_only and not is_dir:
            return False
        return bool(self.regex.match(path if self.anchored else path.rsplit("/", 1)[-1]))


def _lines(text):
    for line in (text or "").splitlines():
        line = line.strip()
        if line and not line.startswith("#"):
            yield line


def lfs_tracked(attributes, path):
    """Whether the `.gitattributes` text gives path `filter=lfs` (the last line that sets or unsets
    `filter` for it decides)."""
    tracked = False
    for line in _lines(attributes):
        if line.startswith('"'):
            end = line.find('"', 1)
            pat, attrs = line[1:end], line[end + 1:].split()
        else:
            pat, _, rest = line.partition(" ")
            attrs = rest.split()
        p = Pattern(pat)
        if p.negated or p.dir_only or not p.matches(path):
            continue            # git takes neither negated nor folder patterns in attributes
        for a in attrs:
            if a.startswith("filter="):
                tracked = a == "filter=lfs"
            elif a in ("-filter", "!filter"):
                tracked = False
    return tracked


def ignored(gitignore, path):
    """Whether the `.gitignore` text leaves path out: the last matching line decides, and a path in
    an ignored folder stays ignored."""
    patterns = [Pattern(line) for line in _lines(gitignore)]
    parts = path.split("/")
    for depth in range(1, len(parts) + 1):
        sub, is_dir, verdict = "/".join(parts[:depth]), depth < len(parts), False
        for p in patterns:
            if p.matches(sub, is_dir):
                verdict = not p.negated
        if verdict:
            return True
    return False


def lfs_line(path):
    """The `.gitattributes` line that tracks exactly this path (glob characters and blanks escaped)."""
    out = []
    for ch in path:
        if ch.isspace():
            out.append("[[:space:]]")
        elif ch in "*?[]\\!#\"":
            out.append("\\" + ch)
        else:
            out.append(ch)
    return "".join(out) + " filter=lfs diff=lfs merge=lfs -text"
