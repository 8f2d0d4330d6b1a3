# Cross build for a 32-bit ARM hard-float Linux device (ARMv7-A with VFPv3-D16, Debian's
# armhf baseline) with Debian's cross toolchain. scripts/cross-test armhf does all of this.
# Packages:
#   apt-get install g++-arm-linux-gnueabihf
#   dpkg --add-architecture armhf && apt-get update
#   apt-get install libboost-thread-dev:armhf
# When apt says libboost-thread-dev:armhf is not installable (the armhf package lists are
# behind the host's), unpack the three packages the build needs instead and pass the
# folder as CMAKE_PREFIX_PATH:
#   apt-get download libboost1.74-dev:armhf libboost-thread1.74-dev:armhf \
#                    libboost-atomic1.74-dev:armhf
#   for d in *.deb; do dpkg-deb -x "$d" /opt/boost-armhf; done
#   ... -DCMAKE_PREFIX_PATH=/opt/boost-armhf/usr
# Build:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake \
#         -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF -DBUILD_SIM=OFF
#   cmake --build build-armhf --target screenreceiver_cgi
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CROSS_TRIPLE arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
