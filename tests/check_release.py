#!/usr/bin/env python3
"""Runs scripts/release.sh twice, the second time in fresh build folders, and checks what a user downloads:
the two runs' archives are byte-identical, each holds exactly its files with a SHA256SUMS that matches
them, every member carries one time and no owner, and each module has the 16 exports, the project
version in its version resource, no link time in its PE header and no path of the checkout inside, and
loads into the stand-in host (under Wine for Windows) and lists the plugin's root.
usage: check_release.py --version VERSION SOURCE_DIR"""
import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile

failures = []
checks_run = 0


def check(cond, what):
    global checks_run
    checks_run += 1
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def read_zip(path):
    """{name: (bytes, time, mode)} of every member."""
    with zipfile.ZipFile(path) as z:
        return {i.filename: (z.read(i), i.date_time, i.external_attr >> 16) for i in z.infolist()}


def read_tar(path):
    """{name: (bytes or None for a folder, time, mode, owner)} of every member."""
    out = {}
    with tarfile.open(path, "r:gz") as t:
        for i in t.getmembers():
            data = t.extractfile(i).read() if i.isfile() else None
            out[i.name] = (data, i.mtime, i.mode, (i.uid, i.gid, i.uname, i.gname))
    return out


def sums_match(files):
    """True when SHA256SUMS lists every other file, once, with its digest."""
    listed = {}
    for line in files["SHA256SUMS"].decode("ascii").splitlines():
        digest, _, name = line.partition("  ")
        listed[name] = digest
    others = {n: d for n, d in files.items() if n != "SHA256SUMS"}
    return listed == {n: hashlib.sha256(d).hexdigest() for n, d in others.items()}


def pe_header(data):
    """(machine, link time) from a PE file's COFF header."""
    offset, = struct.unpack_from("<I", data, 0x3C)
    if data[offset:offset + 4] != b"PE\0\0":
        return None, None
    machine, _, stamp = struct.unpack_from("<HHI", data, offset + 4)
    return machine, stamp


def fixed_file_version(data):
    """FILEVERSION and PRODUCTVERSION of the version resource as dotted texts."""
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None, None
    fms, fls, pms, pls = struct.unpack_from("<IIII", data, at + 8)
    dotted = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    return dotted(fms, fls), dotted(pms, pls)


def version_string(data, key):
    """The UTF-16 value of KEY in the version resource's string table, or None."""
    at = data.find((key + "\0").encode("utf-16-le"))
    if at < 0:
        return None
    at += 2 * (len(key) + 1)
    while data[at:at + 2] == b"\0\0":  # padding to the value's 32-bit boundary
        at += 2
    end = at
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[at:end].decode("utf-16-le")


def exports_ok(module, data, args, work):
    path = os.path.join(work, os.path.basename(module))
    with open(path, "wb") as f:
        f.write(data)
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_exports.py")
    p = subprocess.run([sys.executable, script] + args + [path], capture_output=True, text=True)
    print(p.stdout.strip())
    return p.returncode == 0


def lists_root(source, target, module, data, work):
    """Loads the archived module into the stand-in host of its release folder (under Wine for Windows)
    and lists the plugin's root: True when it lists the fixed items, None when this machine cannot run
    the module's bitness."""
    build = os.path.join(source, "build", "release-" + target)
    p = subprocess.run(["cmake", "--build", build, "--target", "tarnhost", "-j", "2"], capture_output=True, text=True)
    if p.returncode != 0:
        print(p.stdout[-2000:] + p.stderr[-2000:])
        return False
    path = os.path.join(work, target, module)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"), XDG_DATA_HOME=os.path.join(work, "data"))
    if target == "linux":
        cmd = [os.path.join(build, "bin", "tarnhost"), "--module", path, "ls", "/"]
    else:
        cmd = [os.path.join(source, "cmake", "wine-run.sh"), os.path.join(build, "bin", "tarnhost.exe"),
               "--module", "Z:" + path.replace("/", "\\"), "ls", "\\"]
    p = subprocess.run(cmd, capture_output=True, text=True, env=env, errors="replace")
    if p.returncode == 77 and target != "linux":
        print("  " + p.stderr.strip())
        return None
    listed = p.returncode == 0 and "[Add New Entry]" in p.stdout and "[Settings]" in p.stdout
    if not listed:
        print("  exit %d\n%s%s" % (p.returncode, p.stdout[-2000:], p.stderr[-2000:]))
    return listed


def run_release(source, out, prefix):
    cmd = [os.path.join(source, "scripts", "release.sh"), "--out", out]
    if prefix:
        cmd += ["--build-prefix", prefix]
    p = subprocess.run(cmd, cwd=source, capture_output=True, text=True)
    if p.returncode != 0:
        print(p.stdout[-4000:] + p.stderr[-4000:])
    return p.returncode == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("source")
    args = parser.parse_args()
    source, version = os.path.abspath(args.source), args.version
    folder = "tarnfs-" + version
    names = {"windows": "tarnfs-%s-windows.zip" % version, "linux": "tarnfs-%s-linux-x86_64.tar.gz" % version}
    # A second set of folders at the same depth as build/release-*, so that ccache serves its objects.
    again = os.path.join("build", "release-check")
    work = tempfile.mkdtemp(prefix="tarnfs-release-")
    try:
        for target in ("linux", "win64", "win32"):
            shutil.rmtree(os.path.join(source, "%s-%s" % (again, target)), ignore_errors=True)
        first, second = os.path.join(work, "first"), os.path.join(work, "second")
        ok = run_release(source, first, None) and run_release(source, second, again)
        check(ok, "scripts/release.sh runs twice, the second time in fresh build folders")
        if not ok:
            return 1
        for kind, name in names.items():
            a, b = os.path.join(first, name), os.path.join(second, name)
            check(os.path.isfile(a), "the release writes %s" % name)
            if not os.path.isfile(a):
                continue
            same = open(a, "rb").read() == open(b, "rb").read()
            check(same, "%s: the two runs give the same bytes" % name)
            if not same:
                reader = read_zip if kind == "windows" else read_tar
                ma, mb = reader(a), reader(b)
                print("  members that differ: %s" % sorted(n for n in set(ma) | set(mb) if ma.get(n) != mb.get(n)))

        zip_members = read_zip(os.path.join(first, names["windows"]))
        expected = {folder + "/" + n for n in ("tarnfs.wfx64", "tarnfs.wfx", "README.md", "LICENSE", "SHA256SUMS")}
        check(set(zip_members) == expected, "the zip holds exactly %s (got %s)" % (sorted(expected), sorted(zip_members)))
        files = {n[len(folder) + 1:]: m[0] for n, m in zip_members.items()}
        check(set(zip_members) == expected and sums_match(files), "the zip's SHA256SUMS matches its files")
        check(len({m[1] for m in zip_members.values()}) == 1 and {m[2] for m in zip_members.values()} == {0o100644},
              "the zip's members share one time and mode 0644")

        tar_members = read_tar(os.path.join(first, names["linux"]))
        expected = {folder} | {folder + "/" + n for n in ("tarnfs.so", "README.md", "LICENSE", "SHA256SUMS")}
        check(set(tar_members) == expected, "the tarball holds exactly %s (got %s)" % (sorted(expected), sorted(tar_members)))
        tar_files = {n[len(folder) + 1:]: m[0] for n, m in tar_members.items() if m[0] is not None}
        check(set(tar_members) == expected and sums_match(tar_files), "the tarball's SHA256SUMS matches its files")
        check(len({m[1] for m in tar_members.values()}) == 1 and {m[3] for m in tar_members.values()} == {(0, 0, "", "")},
              "the tarball's members share one time and no owner")
        check({m[2] for n, m in tar_members.items() if n != folder} == {0o644}, "the tarball's files have mode 0644")
        with open(os.path.join(first, names["linux"]), "rb") as f:
            head = f.read(10)
        check(head[3] & 0x08 == 0 and head[4:8] == b"\0\0\0\0", "the gzip header carries no name and no time")

        readme = open(os.path.join(source, "README.md"), "rb").read()
        check(files.get("README.md") == readme and tar_files.get("README.md") == readme, "both carry the README")
        check(b"MIT License" in files.get("LICENSE", b""), "both carry the MIT LICENSE")

        root = source.encode()
        for module, machine, objdump in (("tarnfs.wfx64", 0x8664, "x86_64-w64-mingw32-objdump"),
                                         ("tarnfs.wfx", 0x14C, "i686-w64-mingw32-objdump")):
            data = files.get(module, b"")
            check(pe_header(data) == (machine, 0), "%s: PE for machine %x with no link time (got %s)"
                  % (module, machine, pe_header(data)))
            check(fixed_file_version(data) == (version + ".0",) * 2,
                  "%s: the version resource says %s (got %s)" % (module, version, fixed_file_version(data)))
            texts = [version_string(data, key) for key in ("FileVersion", "ProductVersion")]
            check(texts == [version] * 2, "%s: the version texts say %s (got %s)" % (module, version, texts))
            check(exports_ok(module, data, ["--objdump", objdump], work), "%s: the export table" % module)
            check(root not in data, "%s: no path of the checkout inside" % module)
            listed = lists_root(source, "win64" if machine == 0x8664 else "win32", module, data, work)
            if listed is None:
                print("skip %s: loaded and listing the root (this machine runs no programs of its bitness)" % module)
            else:
                check(listed, "%s: loaded under Wine, it lists the root" % module)
        so = tar_files.get("tarnfs.so", b"")
        check(so[:4] == b"\x7fELF" and so[4] == 2 and struct.unpack_from("<H", so, 18)[0] == 62,
              "tarnfs.so: a 64-bit x86-64 ELF module")
        check(exports_ok("tarnfs.so", so, ["--elf"], work), "tarnfs.so: the export table")
        check(root not in so, "tarnfs.so: no path of the checkout inside")
        check(lists_root(source, "linux", "tarnfs.so", so, work), "tarnfs.so: loaded, it lists the root")
    finally:
        shutil.rmtree(work, ignore_errors=True)
        for target in ("linux", "win64", "win32"):
            shutil.rmtree(os.path.join(source, "%s-%s" % (again, target)), ignore_errors=True)
    print("%d passed, %d failed" % (checks_run - len(failures), len(failures)))
    return 1 if failures or checks_run == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
