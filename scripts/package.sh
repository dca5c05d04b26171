#!/usr/bin/env bash
# Packs the Windows programs of build/win into build/package/vigilor-<version>-win64.zip with a
# SHA-256 list. Run scripts/build.sh windows first. With --verify, unpacks the zip into a
# temporary folder and checks its file list and every checksum instead.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/.*kVersionText\[\] = L"\([^"]*\)".*/\1/p' src/engine/Version.h)
[ -n "$version" ] || { echo "no version in src/engine/Version.h" >&2; exit 1; }
name="vigilor-$version-win64"
zip_path="build/package/$name.zip"
files=(vigilor.exe trellion.exe cv_rsrc_english.dll)

if [ "${1:-}" = --verify ]; then
    [ -f "$zip_path" ] || { echo "missing $zip_path" >&2; exit 1; }
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    unzip -q "$zip_path" -d "$work"
    expected=$(printf '%s\n' "$name/SHA256SUMS" "${files[@]/#/$name/}" | sort)
    actual=$(cd "$work" && find . -type f | sed 's|^\./||' | sort)
    if [ "$expected" != "$actual" ]; then
        echo "unexpected file list in $zip_path:" >&2
        diff <(echo "$expected") <(echo "$actual") >&2 || true
        exit 1
    fi
    listed=$(awk '{print $2}' "$work/$name/SHA256SUMS" | sort)
    [ "$listed" = "$(printf '%s\n' "${files[@]}" | sort)" ] ||
        { echo "SHA256SUMS does not list every program" >&2; exit 1; }
    (cd "$work/$name" && sha256sum --quiet -c SHA256SUMS)
    echo "$zip_path: ${#files[@]} files and their checksums are in order"
    exit 0
fi

for file in "${files[@]}"; do
    [ -f "build/win/$file" ] || { echo "missing build/win/$file; run scripts/build.sh windows" >&2; exit 1; }
done
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name" build/package
for file in "${files[@]}"; do
    cp "build/win/$file" "$stage/$name/"
done
(cd "$stage/$name" && sha256sum "${files[@]}" > SHA256SUMS)
rm -f "$zip_path"
(cd "$stage" && zip -q -X -r "$OLDPWD/$zip_path" "$name")
echo "$zip_path"
