#!/usr/bin/env python3
"""Checks the module's export table: exactly the 15 undecorated names, and for a DLL only system imports."""
import argparse
import re
import subprocess
import sys

EXPORTS = sorted("""FsInitW FsGetDefRootName FsSetDefaultParams FsGetBackgroundFlags FsStatusInfoW FsFindFirstW
FsFindNextW FsFindClose FsGetFileW FsExecuteFileW FsDeleteFileW FsRemoveDirW FsRenMovFileW FsMkDirW
FsExtractCustomIconW""".split())
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "ole32.dll", "winhttp.dll", "crypt32.dll",
               "comdlg32.dll", "advapi32.dll", "msvcrt.dll", "gdi32.dll", "comctl32.dll", "shlwapi.dll",
               "ws2_32.dll", "bcrypt.dll", "api-ms-win-crt-runtime-l1-1-0.dll"}


def check_dll(objdump, path):
    out = subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout
    names = []
    in_table = False
    for line in out.splitlines():
        if line.startswith("[Ordinal/Name Pointer] Table"):
            in_table = True
            continue
        if in_table:
            m = re.match(r"\s+\[\s*\d+\]\s+(\S+)", line)
            if not m:
                in_table = False
                continue
            names.append(m.group(1))
    imports = sorted({m.lower() for m in re.findall(r"DLL Name: (\S+)", out)})
    errors = []
    if sorted(names) != EXPORTS:
        errors.append("exports differ: got %s" % sorted(names))
    foreign = [d for d in imports if d not in SYSTEM_DLLS]
    if foreign:
        errors.append("imports non-system DLLs: %s" % foreign)
    return errors, names, imports


def check_elf(path):
    out = subprocess.run(["nm", "-D", "--defined-only", path], check=True, capture_output=True, text=True).stdout
    names = sorted(l.split()[-1] for l in out.splitlines() if re.search(r" T Fs", l))
    errors = [] if names == EXPORTS else ["exports differ: got %s" % names]
    return errors, names, []


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump")
    ap.add_argument("--elf", action="store_true")
    ap.add_argument("module")
    a = ap.parse_args()
    errors, names, imports = check_elf(a.module) if a.elf else check_dll(a.objdump, a.module)
    print("exports: %s" % " ".join(names))
    if imports:
        print("imports: %s" % " ".join(imports))
    for e in errors:
        print("FAIL: " + e)
    print("%d passed, %d failed" % (0 if errors else 1, 1 if errors else 0))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
