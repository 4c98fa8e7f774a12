# 32-bit ARM (armhf) through Debian's cross compiler and multiarch libraries (:armhf); the
# binaries run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /usr/lib/arm-linux-gnueabihf /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The multiarch runtime (libc6:armhf, libstdc++6:armhf) serves the binaries; with the cross
# toolchain's own libraries (-L /usr/arm-linux-gnueabihf) qemu 7.2 crashes threaded programs.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)
set(VELDRAKE_EXPECT_POINTER_BITS 32)
