# Flags for the project's own targets only; third-party code keeps its own.
add_library(zelkor_flags INTERFACE)
target_compile_options(zelkor_flags INTERFACE
  -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion
  -Wimplicit-fallthrough -Werror)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # Sources are UTF-8; narrow literals are GBK, the program's code page 936.
  target_compile_options(zelkor_flags INTERFACE
    -finput-charset=UTF-8 -fexec-charset=GBK)
elseif(NOT ZELKOR_FUZZ)
  # clang knows no other execution character set than UTF-8: it builds only
  # the fuzz targets, whose code under test holds no Chinese text.
  message(FATAL_ERROR "the program needs GCC (-fexec-charset=GBK)")
endif()
# The sources, and the build tree for its generated version.h.
target_include_directories(zelkor_flags INTERFACE ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})

if(WIN32)
  # One .exe that needs no DLL beyond the system's.
  target_link_options(zelkor_flags INTERFACE -static -static-libgcc -static-libstdc++)
  target_compile_definitions(zelkor_flags INTERFACE
    WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601 NOMINMAX
    # C99 formatting (bounded vsnprintf, NaN texts) as on the native build.
    __USE_MINGW_ANSI_STDIO=1)
endif()

if(ZELKOR_SANITIZE STREQUAL "address")
  set(zelkor_san -fsanitize=address,undefined -fno-sanitize-recover=undefined
                 -fno-omit-frame-pointer)
elseif(ZELKOR_SANITIZE STREQUAL "thread")
  set(zelkor_san -fsanitize=thread -fno-omit-frame-pointer)
endif()
if(zelkor_san)
  # Everything, GoogleTest included, so that the runtime sees all of it.
  add_compile_options(${zelkor_san} -g)
  add_link_options(${zelkor_san})
endif()
