# zlib, libdeflate, Crypto++ and the collision-detecting SHA-1 for every build; the tool libraries
# only natively.
set(ZT_CACHE_DIR "$ENV{HOME}/.cache/zt-installer" CACHE PATH "Where the Debian source builds are cached")

# SHA-1 with collision detection (sha1dc, MIT licence) from Debian's git source package, compiled
# here with each build's own compiler and flags (sanitizers and fuzzer coverage included). At -O2
# whatever the build type: it hashes every byte that a signature covers. The same cache holds
# t/t0013/shattered-1.pdf, one half of a real collision, for the tests (ZT_SHATTERED_PDF).
execute_process(
  COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/sha1dc-source.sh ${ZT_CACHE_DIR}
  OUTPUT_VARIABLE ZT_SHA1DC_DIR OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE zt_sha1dc_rc)
if(NOT zt_sha1dc_rc EQUAL 0 OR NOT EXISTS "${ZT_SHA1DC_DIR}/sha1dc/sha1.c")
  message(FATAL_ERROR "The collision-detecting SHA-1 could not be taken from Debian's git source "
                      "package (scripts/sha1dc-source.sh)")
endif()
set(ZT_SHATTERED_PDF "${ZT_SHA1DC_DIR}/t0013/shattered-1.pdf")
add_library(zt_sha1dc STATIC ${ZT_SHA1DC_DIR}/sha1dc/sha1.c ${ZT_SHA1DC_DIR}/sha1dc/ubc_check.c)
target_include_directories(zt_sha1dc SYSTEM PUBLIC ${ZT_SHA1DC_DIR})
target_compile_options(zt_sha1dc PRIVATE -O2 -w)
if(ZT_SANITIZE OR ZT_FUZZ)
  # Under the undefined-behaviour sanitizer, whole words are read only where they are aligned.
  target_compile_definitions(zt_sha1dc PRIVATE SHA1DC_FORCE_ALIGNED_ACCESS)
endif()
if(WIN32)
  # Plain C that nothing unwinds through: no unwind tables, which keeps the 32-bit stub small.
  target_compile_options(zt_sha1dc PRIVATE -fno-asynchronous-unwind-tables -fno-unwind-tables)
endif()

if(WIN32)
  # MinGW zlib from Debian's libz-mingw-w64-dev.
  find_library(ZT_ZLIB_LIB NAMES libz.a z REQUIRED)
  find_path(ZT_ZLIB_INC zlib.h REQUIRED)
  add_library(zt_zlib INTERFACE)
  target_link_libraries(zt_zlib INTERFACE ${ZT_ZLIB_LIB})
  target_include_directories(zt_zlib INTERFACE ${ZT_ZLIB_INC})

  # Crypto++ and libdeflate's inflater compiled with the MinGW compiler from Debian's own source
  # packages, built once and cached outside the source tree (Crypto++ takes minutes, libdeflate
  # seconds). TARGET becomes an interface library of the built LIBRARY.
  function(zt_mingw_library target script library)
    execute_process(
      COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/${script} ${ZT_CACHE_DIR} ${CMAKE_SYSTEM_PROCESSOR}
      OUTPUT_VARIABLE prefix OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "Building ${library} for MinGW failed (scripts/${script})")
    endif()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${prefix}/include)
    target_link_libraries(${target} INTERFACE ${prefix}/lib/${library})
  endfunction()
  zt_mingw_library(zt_cryptopp build-cryptopp-mingw.sh libcryptopp.a)
  zt_mingw_library(zt_libdeflate build-libdeflate-mingw.sh libdeflate.a)
else()
  find_package(ZLIB REQUIRED)
  add_library(zt_zlib INTERFACE)
  target_link_libraries(zt_zlib INTERFACE ZLIB::ZLIB)

  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
  add_library(zt_libdeflate INTERFACE)
  target_link_libraries(zt_libdeflate INTERFACE PkgConfig::LIBDEFLATE)

  pkg_check_modules(CRYPTOPP REQUIRED IMPORTED_TARGET libcrypto++)
  add_library(zt_cryptopp INTERFACE)
  target_link_libraries(zt_cryptopp INTERFACE PkgConfig::CRYPTOPP)

  # ztpack's keys in PKCS#11 tokens (module loading, URIs); the Windows build has none.
  pkg_check_modules(P11KIT REQUIRED IMPORTED_TARGET p11-kit-1)
  add_library(zt_p11kit INTERFACE)
  target_link_libraries(zt_p11kit INTERFACE PkgConfig::P11KIT)
  # Where p11-kit loads a module named without a path from, for ztpack's messages.
  pkg_get_variable(P11KIT_MODULE_PATH p11-kit-1 p11_module_path)
  target_compile_definitions(zt_p11kit INTERFACE ZT_P11_MODULE_PATH="${P11KIT_MODULE_PATH}")

  find_package(CLI11 CONFIG QUIET)
  find_package(nlohmann_json 3 REQUIRED)
  find_package(tomlplusplus QUIET)
  find_package(Threads REQUIRED)
  if(ZT_TESTS)
    find_package(GTest REQUIRED)
  endif()
endif()
