#!/usr/bin/env python3
"""Fails when platform calls appear outside the platform seam (and the dialog code for dialogs)."""
import os
import re
import sys

RULES = [
    (re.compile(r"\bWinHttp\w+"), ("src/platform/win32/",)),
    (re.compile(r"\bcurl_easy_\w+"), ("src/platform/posix/",)),
    (re.compile(r"\bCrypt(Protect|Unprotect|BinaryToString|StringToBinary)\w*"), ("src/platform/win32/",)),
    (re.compile(r"\bsodium_\w+|\bcrypto_secretbox\w*"), ("src/platform/posix/",)),
    (re.compile(r"\bBCrypt\w+|\bEVP_\w+"), ("src/platform/",)),
    (re.compile(r"\bShellExecute\w*"), ("src/platform/win32/",)),
    (re.compile(r"\bDialogBox\w*"), ("src/platform/win32/", "src/ui/")),
    (re.compile(r"\bMoveFileEx\w*"), ("src/platform/win32/",)),
    (re.compile(r"#\s*if(def)?\s*\(?\s*(defined\s*\(\s*)?_WIN32"), ("src/platform/", "src/ui/", "src/plugin/host_abi.h", "src/core/host_callbacks.h")),
]


def main():
    root = sys.argv[1]
    bad = []
    for folder, _, files in os.walk(os.path.join(root, "src")):
        for name in files:
            if not name.endswith((".cpp", ".h")):
                continue
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root).replace(os.sep, "/")
            with open(path, encoding="utf-8", errors="replace") as f:
                for no, line in enumerate(f, 1):
                    for pattern, allowed in RULES:
                        if pattern.search(line) and not rel.startswith(allowed):
                            bad.append("%s:%d: %s" % (rel, no, line.strip()))
    for b in bad:
        print("outside the seam: " + b)
    print("%d passed, %d failed" % (0 if bad else 1, 1 if bad else 0))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
