#!/bin/bash
# Builds the Debian package of Tarvello into build-package/ and checks it
# with lintian. Given a build folder configured with the prefix /usr (the
# tests' own), packages that build instead of making a release build.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/packages.sh
install_packages "${BUILD_PACKAGES[@]}" dpkg-dev lintian file
dir=${1:-build-package}
if [ $# = 0 ]; then
    cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DTARVELLO_TESTS=OFF \
        >/dev/null
fi
cmake --build "$dir"
mkdir -p build-package
rm -f build-package/tarvello_*.deb
out=$PWD/build-package
(cd "$dir" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls build-package/tarvello_*.deb | head -n1)
echo "Package: $deb"
echo "lintian:"
lintian --info "$deb" || true
