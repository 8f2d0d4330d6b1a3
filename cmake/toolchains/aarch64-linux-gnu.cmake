# Cross build for a 64-bit ARM Linux device (ARMv8-A) with Debian's cross toolchain.
# scripts/cross-test arm64 does all of this.
# Packages:
#   apt-get install g++-aarch64-linux-gnu
#   dpkg --add-architecture arm64 && apt-get update
#   apt-get install libboost-thread-dev:arm64
# When apt says libboost-thread-dev:arm64 is not installable (the arm64 package lists are
# behind the host's), unpack the three packages the build needs instead and pass the
# folder as CMAKE_PREFIX_PATH:
#   apt-get download libboost1.74-dev:arm64 libboost-thread1.74-dev:arm64 \
#                    libboost-atomic1.74-dev:arm64
#   for d in *.deb; do dpkg-deb -x "$d" /opt/boost-arm64; done
#   ... -DCMAKE_PREFIX_PATH=/opt/boost-arm64/usr
# Build:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake \
#         -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF -DBUILD_SIM=OFF
#   cmake --build build-arm64 --target screenreceiver_cgi
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CROSS_TRIPLE aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
