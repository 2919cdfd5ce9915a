# Project-wide compile flags: warnings, hardening, optional sanitizers.
add_compile_options(-Wall -Wextra -Wformat=2 -Werror=format-security -Wshadow -Wnon-virtual-dtor
                    -fstack-protector-strong -fstack-clash-protection)
# Bounds-checked standard containers and iterators; cheap enough to keep in every build.
add_compile_definitions(_GLIBCXX_ASSERTIONS)
if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  add_compile_definitions(_FORTIFY_SOURCE=2)
endif()
# Relocations read-only once resolved, all of them at load time.
add_link_options(LINKER:-z,relro,-z,now)
if(VELMORA_WERROR)
  add_compile_options(-Werror)
endif()

if((VELMORA_SANITIZE OR VELMORA_FUZZ) AND VELMORA_TSAN)
  message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer: use two builds")
endif()
if(VELMORA_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "The fuzz targets need clang's libFuzzer: configure with CXX=clang++-14")
endif()
if(VELMORA_SANITIZE OR VELMORA_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  # Coverage for libFuzzer in everything a fuzz target links; its main only in the targets.
  if(VELMORA_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC's flow analysis reports false "maybe uninitialized" in Boost headers under ASan.
    add_compile_options(-Wno-maybe-uninitialized)
    # ASan's instrumentation also trips GCC 12's bounds and overflow analysis on
    # Qt's shared empty QByteArray; the plain build keeps those warnings.
    add_compile_options(-Wno-array-bounds -Wno-stringop-overflow)
  endif()
endif()
if(VELMORA_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # Boost.Asio uses std::atomic_thread_fence, which ThreadSanitizer does not model (GCC
    # warns); a hand-off resting on one would be reported as a race in Asio, and none is.
    add_compile_options(-Wno-tsan)
  endif()
endif()
# Qt: no implicit ASCII casts of char* strings, and keep deprecated APIs out.
add_compile_definitions(QT_NO_CAST_FROM_BYTEARRAY QT_DISABLE_DEPRECATED_BEFORE=0x060000)
# Sanitizer builds: code built with these flags is not optimised. Optimising Boost.Beast's
# templates under the sanitizers takes minutes per unit (the HTTP server's unit 3.4 min at -O1,
# 1.2 min at -O0), and what runs there in the tests is loopback I/O, not the hot path.
# _FORTIFY_SOURCE needs optimisation, so it goes too.
set(VELMORA_UNOPTIMISED_FLAGS "")
if(VELMORA_SANITIZE OR VELMORA_FUZZ OR VELMORA_TSAN)
  set(VELMORA_UNOPTIMISED_FLAGS -O0 -U_FORTIFY_SOURCE)
endif()
