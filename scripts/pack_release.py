#!/usr/bin/env python3
"""Packs built modules into the release archives: one folder tarnfs-VERSION/ holding the modules, the
documents and SHA256SUMS, as a .zip (Windows) or a .tar.gz (Linux). The same inputs always give the same
bytes: members in a fixed order with one fixed time (--epoch), fixed modes and owners, and a gzip header
without a name or a time.
usage: pack_release.py --version V --epoch SECONDS --out ARCHIVE FILE..."""
import argparse
import gzip
import hashlib
import io
import os
import sys
import tarfile
import time
import zipfile

# The zip format keeps local time from 1980 on, with 2-second steps.
ZIP_EARLIEST = 315532800


def members(files):
    """(name in the archive, bytes) of each file, then SHA256SUMS over them, in that order."""
    out = []
    for path in files:
        with open(path, "rb") as f:
            out.append((os.path.basename(path), f.read()))
    names = [name for name, _ in out]
    if len(set(names)) != len(names) or "SHA256SUMS" in names:
        sys.exit("pack_release: file names must be distinct and not SHA256SUMS: %s" % names)
    # The format sha256sum -c reads: the digest, two spaces, the name.
    sums = "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name) for name, data in sorted(out))
    return out + [("SHA256SUMS", sums.encode("ascii"))]


def write_zip(path, folder, entries, epoch):
    stamp = time.gmtime(max(epoch, ZIP_EARLIEST))[:6]
    with zipfile.ZipFile(path, "w") as z:
        for name, data in entries:
            info = zipfile.ZipInfo(folder + "/" + name, date_time=stamp)
            info.create_system = 3  # Unix, so that the mode below is read by unzip
            info.external_attr = (0o100644 << 16)
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data, compresslevel=9)


def write_tar_gz(path, folder, entries, epoch):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        def add(info, data=None):
            info.mtime, info.uid, info.gid, info.uname, info.gname = epoch, 0, 0, "", ""
            tar.addfile(info, io.BytesIO(data) if data is not None else None)
        top = tarfile.TarInfo(folder)
        top.type, top.mode = tarfile.DIRTYPE, 0o755
        add(top)
        for name, data in entries:
            info = tarfile.TarInfo(folder + "/" + name)
            info.size, info.mode = len(data), 0o644
            add(info, data)
    with open(path, "wb") as f:
        # GzipFile writes the name it is given (none here) and mtime into the header.
        with gzip.GzipFile(filename="", mode="wb", fileobj=f, compresslevel=9, mtime=0) as gz:
            gz.write(raw.getvalue())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--epoch", type=int, required=True, help="the time every member carries")
    parser.add_argument("--out", required=True, help="the archive: *.zip or *.tar.gz")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    folder = "tarnfs-" + args.version
    entries = members(args.files)
    part = args.out + ".part"
    if args.out.endswith(".zip"):
        write_zip(part, folder, entries, args.epoch)
    elif args.out.endswith(".tar.gz"):
        write_tar_gz(part, folder, entries, args.epoch)
    else:
        sys.exit("pack_release: the archive must end in .zip or .tar.gz: " + args.out)
    os.replace(part, args.out)


if __name__ == "__main__":
    main()
