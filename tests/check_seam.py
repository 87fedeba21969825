#!/usr/bin/env python3
"""Fails when platform calls appear outside the platform seam (and the dialog code for dialogs)."""
import os
import re
import sys

RULES = [
    (r"\bWinHttp\w+", ("src/platform/win32/",)),
    (r"\bcurl_easy_\w+", ("src/platform/posix/",)),
    (r"\bCrypt(Protect|Unprotect|BinaryToString|StringToBinary)\w*", ("src/platform/win32/",)),
    (r"\bsodium_\w+|\bcrypto_secretbox\w*", ("src/platform/posix/",)),
    (r"\bBCrypt\w+|\bEVP_\w+", ("src/platform/",)),
    (r"\bShellExecute\w*", ("src/platform/win32/",)),
    (r"\bDialogBox\w*", ("src/platform/win32/", "src/ui/")),
    (r"\bMoveFileEx\w*", ("src/platform/win32/",)),
    (r"\bgetenv\b|\bGetEnvironmentVariable\w*|\bGetFinalPathNameByHandle\w*|\brealpath\b", ("src/platform/",)),
    (r"\bdlopen\b|\bGetModuleHandleEx\w*|\bFreeLibrary\b", ("src/platform/",)),
    (r"#\s*if(def)?\s*\(?\s*(defined\s*\(\s*)?_WIN32",
     ("src/platform/", "src/ui/", "src/plugin/host_abi.h", "src/core/host_callbacks.h")),
]

root = sys.argv[1]
bad = []
for folder, _, files in os.walk(os.path.join(root, "src")):
    for name in (n for n in files if n.endswith((".cpp", ".h"))):
        rel = os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")
        with open(os.path.join(root, rel), encoding="utf-8", errors="replace") as f:
            for no, line in enumerate(f, 1):
                if any(re.search(p, line) and not rel.startswith(allowed) for p, allowed in RULES):
                    bad.append("outside the seam: %s:%d: %s" % (rel, no, line.strip()))
print("\n".join(bad + ["%d passed, %d failed" % (0 if bad else 1, 1 if bad else 0)]))
sys.exit(1 if bad else 0)
