#!/usr/bin/env bash
# Makes the release of the last commit in dist/:
#   OrvinMCP-<version>-win64.zip   OrvinMCP.exe and the office's quick start CZYTAJ-MNIE.txt
#   OrvinMCP-<version>.mcpb        the desktop-extension bundle: the same exe and manifest.json
#   OrvinMCP-<version>.debug       the exe's symbols, which its debug link names
#   SHA256SUMS
#   CHANGELOG-<version>.md         the release's notes: that version's section of CHANGELOG.md
# The commit is built twice, in two different folders; any byte in which the two
# builds differ stops the release. With ORVIN_SIGN_CERT and ORVIN_SIGN_KEY the exe
# and the bundle are signed (see scripts/sign.sh); without them the release is unsigned.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
JOBS="$(nproc 2>/dev/null || echo 2)"
WORK="$ROOT/build/release"
OBJDUMP=x86_64-w64-mingw32-objdump
OBJCOPY=x86_64-w64-mingw32-objcopy

# A release that fails leaves nothing in dist/ that looks like one.
rm -rf dist
bash scripts/setup.sh >/dev/null
# Settings that cannot sign, or a wrong password or PIN, stop the release now, not after the builds.
[ -z "${ORVIN_SIGN_CERT:-}${ORVIN_SIGN_KEY:-}" ] || bash scripts/sign.sh check

COMMIT="$(git rev-parse --short HEAD)"
if [ -n "$(git status --porcelain)" ]; then
  echo "Note: the work tree has changes that are not committed; the release is built from commit $COMMIT without them."
fi
# Every time stamp that ends up in the release is the commit's.
export SOURCE_DATE_EPOCH="$(git log -1 --format=%ct HEAD)"
export TZ=UTC

# build <folder>: the commit, exported into <folder>/src, built in <folder>/build.
build() {
  local dir="$1"
  mkdir -p "$dir/src" "$dir/out"
  git archive --format=tar HEAD | tar -x -C "$dir/src"
  # The tested build (CMake's Release flags) with symbols, which are split off below.
  if ! { cmake -S "$dir/src" -B "$dir/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g \
           -DCMAKE_TOOLCHAIN_FILE="$dir/src/cmake/mingw-w64-x86_64.cmake" &&
         cmake --build "$dir/build" --target OrvinMCP --parallel "$JOBS"; } >"$dir/build.log" 2>&1; then
    cat "$dir/build.log" >&2
    echo "The build in $dir failed." >&2
    exit 1
  fi
}

# split_symbols <folder>: the exe without its symbols, tied by a debug link to the file that keeps them.
split_symbols() {
  local dir="$1"
  $OBJCOPY --only-keep-debug "$dir/build/bin/OrvinMCP.exe" "$dir/out/$DEBUG"
  $OBJCOPY --strip-all --add-gnu-debuglink="$dir/out/$DEBUG" "$dir/build/bin/OrvinMCP.exe" "$dir/out/OrvinMCP.exe"
}

# zip_folder <folder> <zip>: the folder's files, with fixed times and rights and sorted.
zip_folder() {
  rm -f "$2"
  chmod 644 "$1"/*
  touch -d "@$SOURCE_DATE_EPOCH" "$1"/*
  (cd "$1" && LC_ALL=C ls | zip -X -D -9 -q "$2" -@)
}

# package <folder>: the zip and the bundle of <folder>/out/OrvinMCP.exe.
package() {
  local dir="$1"
  rm -rf "$dir/zip" "$dir/mcpb"
  mkdir -p "$dir/zip" "$dir/mcpb"
  cp "$dir/out/OrvinMCP.exe" "$dir/zip/"
  # UTF-8 with a byte order mark and CR LF, so that Notepad shows it right.
  { printf '\357\273\277'; sed -e "s/@VERSION@/$VERSION/g" -e 's/$/\r/' "$dir/src/release/CZYTAJ-MNIE.txt"; } \
    >"$dir/zip/CZYTAJ-MNIE.txt"
  zip_folder "$dir/zip" "$dir/out/$ZIP"
  cp "$dir/out/OrvinMCP.exe" "$dir/mcpb/"
  sed "s/@VERSION@/$VERSION/g" "$dir/src/release/mcpb-manifest.json" >"$dir/mcpb/manifest.json"
  zip_folder "$dir/mcpb" "$dir/out/$BUNDLE"
}

# sections <PE file>: "name first-offset end-offset" of each section with contents in the file
# (those without, such as .bss or all but the symbols' in the .debug, sit at offset 0).
sections() {
  local index name size vma lma offset rest
  $OBJDUMP -h "$1" 2>/dev/null | grep -E '^ *[0-9]+ ' | while read -r index name size vma lma offset rest; do
    [ $((16#$offset)) -eq 0 ] || echo "$name $((16#$offset)) $((16#$offset + 16#$size))"
  done
}

# same_in_both <file>: true when both builds made the file alike; otherwise says
# how many bytes differ in which section of the exe (or of the zip as a whole).
same_in_both() {
  local a="$WORK/a/out/$1" b="$WORK/second build/out/$1" outside=headers
  cmp -s "$a" "$b" && return 0
  case "$1" in *.zip | *.mcpb) outside="the zip" ;; esac
  echo "$1 differs between the two builds ($(stat -c %s "$a") and $(stat -c %s "$b") bytes):" >&2
  cmp -l "$a" "$b" 2>/dev/null | awk -v table="$(sections "$a")" -v outside="$outside" '
    BEGIN {
      n = split(table, rows, "\n")
      for (i = 1; i <= n; i++) { split(rows[i], field, " "); name[i] = field[1]; from[i] = field[2] + 0; to[i] = field[3] + 0 }
    }
    {
      at = $1 - 1; where = outside
      for (i = 1; i <= n; i++) if (at >= from[i] && at < to[i]) { where = name[i]; break }
      if (!(where in count)) { order[++kinds] = where; first[where] = at }
      count[where]++
    }
    END { for (k = 1; k <= kinds; k++) printf "  %s: %d bytes, the first at offset %d\n", order[k], count[order[k]], first[order[k]] }' >&2
  return 1
}

# changes <changelog> <heading>: the entries under that heading up to the next version's,
# without the blank lines at its end.
changes() {
  awk -v heading="$2" '
    /^## / { within = index($0, heading) == 1 }
    within { if ($0 == "") blanks++; else { for (; blanks > 0; blanks--) print ""; print } }' "$1"
}

rm -rf "$WORK"
build "$WORK/a"
VERSION="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$WORK/a/build/CMakeCache.txt")"
DEBUG="OrvinMCP-$VERSION.debug"
ZIP="OrvinMCP-$VERSION-win64.zip"
BUNDLE="OrvinMCP-$VERSION.mcpb"
NOTES="CHANGELOG-$VERSION.md"
# The notes are the commit's changelog, as the exe is the commit's code.
CHANGELOG="$WORK/a/src/CHANGELOG.md"
[ -f "$CHANGELOG" ] && changes "$CHANGELOG" "## [$VERSION] - " >"$WORK/$NOTES"
if ! grep -q '^- ' "$WORK/$NOTES" 2>/dev/null; then
  echo "CHANGELOG.md has no section \"## [$VERSION] - <date>\" with entries: no release of version $VERSION." >&2
  exit 1
fi
if changes "$CHANGELOG" "## [Unreleased]" | grep -q '^- '; then
  echo "Note: the Unreleased section of CHANGELOG.md has entries; the notes of $VERSION leave them out."
fi
echo "Release $VERSION of commit $COMMIT: building twice."
# A second folder of another length and with a blank: no path may reach the binary.
build "$WORK/second build"
for dir in "$WORK/a" "$WORK/second build"; do
  split_symbols "$dir"
  package "$dir"
done
differing=0
for file in OrvinMCP.exe "$DEBUG" "$ZIP" "$BUNDLE"; do
  same_in_both "$file" || differing=1
done
if [ "$differing" -ne 0 ]; then
  echo "The builds are not reproducible: no release." >&2
  exit 1
fi
echo "Both builds are byte for byte the same."

if [ -n "${ORVIN_SIGN_CERT:-}" ]; then
  bash scripts/sign.sh sign "$WORK/a/out/OrvinMCP.exe"
  package "$WORK/a"
  bash scripts/sign.sh sign "$WORK/a/out/$BUNDLE"
  signed="signed"
else
  signed="UNSIGNED"
  echo "No certificate given (ORVIN_SIGN_CERT, ORVIN_SIGN_KEY): the release is unsigned, and Windows' Smart App" \
    "Control will block it."
fi

mkdir dist
cp "$WORK/a/out/$ZIP" "$WORK/a/out/$BUNDLE" "$WORK/a/out/$DEBUG" "$WORK/$NOTES" dist/
(cd dist && sha256sum "$ZIP" "$BUNDLE" "$DEBUG" >SHA256SUMS)
echo
echo "Release $VERSION ($signed), its notes in dist/$NOTES:"
sed 's/^/  /' dist/SHA256SUMS
