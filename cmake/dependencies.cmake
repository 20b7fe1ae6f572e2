# zlib, libdeflate and Crypto++ for every build; the tool libraries only natively.
if(WIN32)
  # MinGW zlib from Debian's libz-mingw-w64-dev.
  find_library(ZT_ZLIB_LIB NAMES libz.a z REQUIRED)
  find_path(ZT_ZLIB_INC zlib.h REQUIRED)
  add_library(zt_zlib INTERFACE)
  target_link_libraries(zt_zlib INTERFACE ${ZT_ZLIB_LIB})
  target_include_directories(zt_zlib INTERFACE ${ZT_ZLIB_INC})

  # Crypto++ compiled with the MinGW compiler from Debian's own source package, built once and
  # cached outside the source tree.
  set(ZT_CACHE_DIR "$ENV{HOME}/.cache/zt-installer" CACHE PATH "Where the MinGW Crypto++ build is cached")
  execute_process(
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/build-cryptopp-mingw.sh ${ZT_CACHE_DIR}
            ${CMAKE_SYSTEM_PROCESSOR}
    OUTPUT_VARIABLE ZT_CRYPTOPP_PREFIX OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE ZT_CRYPTOPP_RC)
  if(NOT ZT_CRYPTOPP_RC EQUAL 0)
    message(FATAL_ERROR "Building Crypto++ for MinGW failed (scripts/build-cryptopp-mingw.sh)")
  endif()
  add_library(zt_cryptopp INTERFACE)
  target_include_directories(zt_cryptopp INTERFACE ${ZT_CRYPTOPP_PREFIX}/include)
  target_link_libraries(zt_cryptopp INTERFACE ${ZT_CRYPTOPP_PREFIX}/lib/libcryptopp.a)

  # libdeflate's inflater, likewise from Debian's source (seconds to build).
  execute_process(
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/build-libdeflate-mingw.sh ${ZT_CACHE_DIR}
            ${CMAKE_SYSTEM_PROCESSOR}
    OUTPUT_VARIABLE ZT_LIBDEFLATE_PREFIX OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE ZT_LIBDEFLATE_RC)
  if(NOT ZT_LIBDEFLATE_RC EQUAL 0)
    message(FATAL_ERROR "Building libdeflate for MinGW failed (scripts/build-libdeflate-mingw.sh)")
  endif()
  add_library(zt_libdeflate INTERFACE)
  target_include_directories(zt_libdeflate INTERFACE ${ZT_LIBDEFLATE_PREFIX}/include)
  target_link_libraries(zt_libdeflate INTERFACE ${ZT_LIBDEFLATE_PREFIX}/lib/libdeflate.a)
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

  find_package(CLI11 CONFIG QUIET)
  find_package(nlohmann_json 3 REQUIRED)
  find_package(tomlplusplus QUIET)
  find_package(Threads REQUIRED)
  if(ZT_TESTS)
    find_package(GTest REQUIRED)
  endif()
endif()
