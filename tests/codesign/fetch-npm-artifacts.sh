#!/usr/bin/env bash
# Fetches a few npm packages that ship Mach-O files signed on macOS, for the tests that read
# real signatures, and unpacks each into <cache>/<tarball name without .tgz>/package/.
# Never fails: without the registry the cache stays empty and those tests report themselves
# skipped. Versions are pinned so that the expected identities stay true.
set -u
cache=${1:?usage: fetch-npm-artifacts.sh <cache-dir>}
mkdir -p "$cache"
cd "$cache" || exit 0

packages=(
  "@esbuild/darwin-arm64@0.28.2"
  "@esbuild/darwin-x64@0.28.2"
  "fsevents@2.3.3"
  "@sentry/cli-darwin@3.8.0"
)

for package in "${packages[@]}"; do
  name=${package#@}
  name=${name/\//-}
  name=${name/@/-}
  if [[ -d "$name/package" ]]; then
    continue
  fi
  # npm checks the tarball against the registry's integrity hash.
  if ! timeout 180 npm pack --silent --fetch-retries=1 --fetch-timeout=60000 "$package" \
    >/dev/null 2>"$name.log"; then
    echo "could not fetch $package (see $cache/$name.log); its tests will be skipped"
    rm -f "$name.tgz"
    continue
  fi
  # Unpacked aside and renamed, so that an interrupted run leaves no half-filled directory.
  rm -rf "$name.tmp" && mkdir "$name.tmp" && tar -xzf "$name.tgz" -C "$name.tmp" &&
    mv "$name.tmp" "$name" && echo "fetched $package"
  rm -f "$name.tgz" "$name.log"
done
exit 0
