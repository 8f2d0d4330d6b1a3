# Cross build for a 32-bit ARM hard-float Linux device with Debian's cross toolchain:
#   apt-get install g++-arm-linux-gnueabihf
#   dpkg --add-architecture armhf && apt-get update && apt-get install libboost-thread-dev:armhf
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake \
#         -DCMAKE_BUILD_TYPE=MinSizeRel -DSTATIC_RUNTIME=ON -DBUILD_TESTING=OFF \
#         -DBUILD_BENCHMARKS=OFF -DBUILD_SIM=OFF
#   cmake --build build-arm --target screenreceiver_cgi
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)

# Headers and libraries of the target come from Debian's multiarch folders.
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLE} /usr/lib/${CROSS_TRIPLE})
set(CMAKE_LIBRARY_ARCHITECTURE ${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
