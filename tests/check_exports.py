#!/usr/bin/env python3
"""Checks the module's export table: exactly the 16 undecorated names, and for a DLL only system imports.
usage: check_exports.py (--elf | --objdump OBJDUMP) MODULE"""
import re
import subprocess
import sys

EXPORTS = sorted("""FsInitW FsGetDefRootName FsSetDefaultParams FsGetBackgroundFlags FsStatusInfoW FsFindFirstW
FsFindNextW FsFindClose FsGetFileW FsPutFileW FsExecuteFileW FsDeleteFileW FsRemoveDirW FsRenMovFileW FsMkDirW
FsExtractCustomIconW""".split())
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "ole32.dll", "winhttp.dll", "crypt32.dll",
               "comdlg32.dll", "advapi32.dll", "msvcrt.dll", "gdi32.dll", "comctl32.dll", "shlwapi.dll",
               "ws2_32.dll", "bcrypt.dll", "api-ms-win-crt-runtime-l1-1-0.dll"}


def output(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def main():
    args, module = sys.argv[1:-1], sys.argv[-1]
    if args == ["--elf"]:
        names, imports = [l.split()[-1] for l in output(["nm", "-D", "--defined-only", module]).splitlines()
                          if re.search(r" T Fs", l)], []
    else:
        out = output([args[1], "-p", module])
        table = out.partition("[Ordinal/Name Pointer] Table")[2].split("\n\n", 1)[0]
        names = re.findall(r"^\s+\[\s*\d+\]\s+(\S+)", table, re.M)
        imports = sorted({m.lower() for m in re.findall(r"DLL Name: (\S+)", out)})
    errors = [] if sorted(names) == EXPORTS else ["exports differ: got %s" % sorted(names)]
    foreign = [d for d in imports if d not in SYSTEM_DLLS]
    errors += ["imports non-system DLLs: %s" % foreign] if foreign else []
    print("exports: %s\nimports: %s" % (" ".join(names), " ".join(imports)))
    for e in errors:
        print("FAIL: " + e)
    print("%d passed, %d failed" % (0 if errors else 1, 1 if errors else 0))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
