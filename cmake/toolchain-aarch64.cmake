# Cross build for Linux AArch64 from Debian x86-64 (crossbuild-essential-arm64 and the
# :arm64 -dev packages). Tests run under qemu-aarch64 through CTest.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# cortex-a72 rather than qemu's default "max" CPU, so that an instruction a real board
# lacks fails here instead of on the board.
# LD_LIBRARY_PATH: libc6:arm64 (pulled in by the :arm64 -dev packages) puts a libc of
# another build in /lib/aarch64-linux-gnu, which the loader searches before the prefix's
# lib/; paired with the prefix's ld.so it hangs the first pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-aarch64;-cpu;cortex-a72;-L;/usr/aarch64-linux-gnu;-E;LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
# Without this FindOpenSSL picks the x86-64 libcrypto and the link fails.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
