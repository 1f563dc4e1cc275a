#!/usr/bin/env bash
# Builds a release, in one command:
#   bash scripts/release.sh [--out DIR]
# DIR (default dist/) is emptied and then holds exactly the sdist
# glyphward-VERSION.tar.gz and, built from that sdist, the two manylinux_2_17
# wheels (x86-64 and arm64; scripts/build-wheel.sh). It prints the files with
# their SHA-256.
#
# Every timestamp in the files is SOURCE_DATE_EPOCH, by default the time of
# the checkout's last commit, so that building the same commit again, in any
# directory, gives the same bytes (scripts/check-reproducible.sh checks it).
# A tree with uncommitted changes is built too, with a warning: its files are
# not those of the commit.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/dist"
while (($#)); do
  case $1 in
    --out) out=$2; shift 2 ;;
    *) echo "usage: release.sh [--out DIR]" >&2; exit 2 ;;
  esac
done

if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  commit=$(git -C "$root" rev-parse --short HEAD)
  if [[ -n $(git -C "$root" status --porcelain --untracked-files=normal) ]]; then
    echo "release.sh: WARNING: uncommitted changes; this is not a build of commit $commit alone" >&2
  fi
  echo "release.sh: commit $commit, SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH" >&2
fi

bin=$(bash "$root/scripts/dist-tools.sh")
mkdir -p "$root/build"
work=$(mktemp -d "$root/build/release.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The sdist holds what pyproject.toml's sdist settings and .gitignore let in.
"$bin/python" -m build --sdist --no-isolation --outdir "$work/dist" "$root" > "$work/sdist.log" 2>&1 \
  || { cat "$work/sdist.log" >&2; exit 1; }
sdists=("$work"/dist/glyphward-*.tar.gz)
[[ -f ${sdists[0]} && ${#sdists[@]} == 1 ]] || { cat "$work/sdist.log" >&2; exit 1; }

for arch in x86_64 aarch64; do
  bash "$root/scripts/build-wheel.sh" --arch "$arch" --out "$work/dist" "${sdists[0]}" >/dev/null
done

mkdir -p "$out"
find "$out" -mindepth 1 -delete
mv "$work"/dist/* "$out/"
(cd "$out" && sha256sum -- *)
