#!/bin/bash
# Builds the Debian package of Tarvello into build-package/ and checks it
# with lintian.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/packages.sh
install_packages "${BUILD_PACKAGES[@]}" dpkg-dev lintian file
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTARVELLO_TESTS=OFF \
    >/dev/null
cmake --build build-package
(cd build-package && cpack -G DEB >/dev/null)
deb=$(ls build-package/tarvello_*.deb | head -n1)
echo "Package: $deb"
echo "lintian:"
lintian --info "$deb" || true
