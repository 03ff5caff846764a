# 32-bit x86 (the board's word size and byte order) with Debian's multilib
# g++: the unit suite runs natively.  Used by scripts/cross.sh.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# Only 32-bit libraries: never the build host's 64-bit ones.
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
# The kernel's x86 <asm/...> headers serve both word sizes.  Debian's
# gcc-multilib links them as /usr/include/asm, but it cannot be installed
# beside the mipsel cross compiler, so the build links them itself.
set(VYX_I386_ASM ${CMAKE_BINARY_DIR}/i386-include)
if(NOT EXISTS ${VYX_I386_ASM}/asm)
  file(MAKE_DIRECTORY ${VYX_I386_ASM})
  file(CREATE_LINK /usr/include/x86_64-linux-gnu/asm ${VYX_I386_ASM}/asm SYMBOLIC)
endif()
set(CMAKE_C_FLAGS_INIT "-m32 -idirafter ${VYX_I386_ASM}")
set(CMAKE_CXX_FLAGS_INIT "-m32 -idirafter ${VYX_I386_ASM}")
