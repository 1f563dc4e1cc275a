#!/usr/bin/env bash
# Checks that a release build is reproducible: builds it again from a copy of
# the same sources in another directory, with the same SOURCE_DATE_EPOCH, and
# fails unless every file is byte-identical to those in DIST.
#   bash scripts/check-reproducible.sh DIST
# DIST is the output of `bash scripts/release.sh` for this checkout. The copy
# holds the files the sdist is made from (tracked, and untracked but not
# ignored); the second build shares the pinned tools and Zig's cache of
# compiled libc++ with the first.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
first=$(realpath "${1:?usage: check-reproducible.sh DIST}")
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
export GLYPHWARD_DIST_TOOLS="${GLYPHWARD_DIST_TOOLS:-$root/build/dist-tools}"
export ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-$root/build/zig-cache}"

# Outside the checkout, at another depth, so that no path of the first build
# is at hand.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
copy="$scratch/elsewhere/glyphward"
mkdir -p "$copy"
git -C "$root" ls-files -z --cached --others --exclude-standard \
  | (cd "$root" && tar --create --null --files-from=- --ignore-failed-read --file=-) 2>/dev/null \
  | tar --extract --directory="$copy"
bash "$copy/scripts/release.sh" --out "$scratch/dist" >/dev/null

status=0
for file in "$first"/* "$scratch"/dist/*; do
  name=$(basename "$file")
  if ! cmp -s "$first/$name" "$scratch/dist/$name"; then
    echo "check-reproducible.sh: $name differs between the two builds (or is missing from one)" >&2
    status=1
  fi
done
((status == 0)) || exit 1
echo "reproducible: two builds in different directories, SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH:"
(cd "$first" && sha256sum -- *)
