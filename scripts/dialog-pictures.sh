#!/usr/bin/env bash
# Renders each of the Windows module's five dialogs, with sample contents, to a PNG in docs/images/:
# the ui test executable opens them through the module's exports under Wine, inside a private X server
# and a Wine desktop window (so the dialogs get their title bars), and captures each window.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/tarnfs-ccache}"
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target tarnfs tarn_ui_tests

# A prefix of its own: the pictures never share state with the test suites.
export TARN_WINEPREFIX="${TARN_PICTURES_WINEPREFIX:-$PWD/build/wineprefix-pictures}"
cmake/wine-run.sh cmd /c exit >/dev/null 2>&1 || true
# Wine's Tahoma stands in for "MS Shell Dlg" as on Windows; Marlett draws the caption buttons; DejaVu
# Sans lends Tahoma the few signs it lacks (the arrow and the check marks of the status lines).
for font in tahoma.ttf tahomabd.ttf marlett.ttf; do
  [ -f "/usr/share/wine/fonts/$font" ] && cp -n "/usr/share/wine/fonts/$font" "$TARN_WINEPREFIX/drive_c/windows/Fonts/"
done
cmake/wine-run.sh reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
  /v Tahoma /t REG_MULTI_SZ /d 'DejaVuSans.ttf,DejaVu Sans' /f >/dev/null 2>&1

work=$(mktemp -d /tmp/tarnfs-pictures.XXXXXX)
trap 'rm -rf "$work"' EXIT
TARN_DIALOG_PICTURES="Z:${work//\//\\}" xvfb-run -a -s "-screen 0 1280x1024x24" \
  cmake/wine-run.sh explorer /desktop=tarnfs,1024x768 build/win64/bin/tarn_ui_tests.exe \
  --gtest_filter='DialogPictures.*' 2>&1 | grep -v "X connection" || true

# 24-bit BMP to PNG with the standard library, so the same capture always gives the same bytes.
python3 - "$work" docs/images <<'PY'
import os, struct, sys, zlib
src, dst = sys.argv[1], sys.argv[2]
os.makedirs(dst, exist_ok=True)
for name in ("add-entry", "settings", "entry-settings", "properties", "temporary-browse"):
    path = os.path.join(src, name + ".bmp")
    if not os.path.isfile(path):
        sys.exit("dialog-pictures: %s was not rendered" % name)
    data = open(path, "rb").read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    assert bits == 24, "expected a 24-bit capture"
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(abs(height)):
        row = data[offset + (abs(height) - 1 - y if height > 0 else y) * stride:][:width * 3]
        rows.append(b"\0" + bytes(c for px in zip(row[2::3], row[1::3], row[0::3]) for c in px))
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, abs(height), 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
    out = os.path.join(dst, name + ".png")
    open(out, "wb").write(png)
    print(out)
PY
