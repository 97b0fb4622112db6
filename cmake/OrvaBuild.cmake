# Compiler settings shared by every target of the project.

if(WIN32)
  set(ORVA_PLATFORM win32)
else()
  set(ORVA_PLATFORM posix)
endif()

# Our own code builds warning-free; third-party code (GoogleTest) does not get these.
function(orva_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

if(ORVA_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(ORVA_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT ORVA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ORVA_SANITIZE must be empty, 'address' or 'thread', not '${ORVA_SANITIZE}'")
endif()

if(ORVA_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "ORVA_FUZZ needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++-14")
endif()

find_package(Threads REQUIRED)

# A header-only library of the build host as an interface target. A cross
# build takes just the library's folder from the host: putting the host's
# /usr/include on the path would mix glibc headers into a Windows build.
function(orva_host_headers target folder package package_target)
  add_library(${target} INTERFACE)
  if(CMAKE_CROSSCOMPILING)
    set(dir ${CMAKE_BINARY_DIR}/host-headers/${target})
    file(MAKE_DIRECTORY ${dir})
    file(CREATE_LINK /usr/include/${folder} ${dir}/${folder} SYMBOLIC)
    target_include_directories(${target} SYSTEM INTERFACE ${dir})
  else()
    find_package(${package} CONFIG REQUIRED)
    target_link_libraries(${target} INTERFACE ${package_target})
  endif()
endfunction()

orva_host_headers(orva_cli11 CLI CLI11 CLI11::CLI11)
orva_host_headers(orva_json nlohmann nlohmann_json nlohmann_json::nlohmann_json)
# Boost.Beast and Asio, header-only: the HTTP face of every server.
orva_host_headers(orva_boost boost Boost Boost::headers)

# OpenSSL 3: TLS for the servers and their clients (through Asio), and the
# crypto the line and the stations need. Debian's libssl-dev on Linux; the
# Windows builds link the static libraries scripts/install-deps builds from
# the source of the same version for their mingw-w64 triplet.
add_library(orva_openssl INTERFACE)
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(orva_openssl_triplet x86_64-w64-mingw32)
  else()
    set(orva_openssl_triplet i686-w64-mingw32)
  endif()
  set(ORVA_OPENSSL_ROOT "/usr/local/share/orvaload/openssl/${orva_openssl_triplet}"
      CACHE PATH "OpenSSL built for this Windows target (scripts/install-deps)")
  if(NOT EXISTS "${ORVA_OPENSSL_ROOT}/lib/libssl.a")
    message(FATAL_ERROR "no ${ORVA_OPENSSL_ROOT}/lib/libssl.a: run scripts/install-deps")
  endif()
  target_include_directories(orva_openssl SYSTEM INTERFACE "${ORVA_OPENSSL_ROOT}/include")
  target_link_libraries(orva_openssl INTERFACE "${ORVA_OPENSSL_ROOT}/lib/libssl.a"
    "${ORVA_OPENSSL_ROOT}/lib/libcrypto.a" ws2_32 crypt32 bcrypt advapi32 user32)
else()
  find_package(OpenSSL 3 REQUIRED)
  target_link_libraries(orva_openssl INTERFACE OpenSSL::SSL OpenSSL::Crypto)
endif()

# The HTTP client of the tests and the bench: Debian's cpp-httplib. Debian builds it for
# Linux only, as a shared library. The Windows builds compile the same
# version, with Debian's patches, from its source package, which
# scripts/install-deps unpacks; so does the ThreadSanitizer build, whose
# checks must see the library's own locking.
if(WIN32 OR ORVA_SANITIZE STREQUAL "thread")
  set(ORVA_HTTPLIB_SOURCE "/usr/local/share/orvaload/cpp-httplib"
      CACHE PATH "cpp-httplib's header from its source package (scripts/install-deps)")
  if(NOT EXISTS "${ORVA_HTTPLIB_SOURCE}/httplib.h")
    message(FATAL_ERROR "no ${ORVA_HTTPLIB_SOURCE}/httplib.h: run scripts/install-deps")
  endif()
  add_library(orva_http INTERFACE)
  target_include_directories(orva_http SYSTEM INTERFACE "${ORVA_HTTPLIB_SOURCE}")
  # With HTTPS, as Debian builds it.
  target_compile_definitions(orva_http INTERFACE CPPHTTPLIB_OPENSSL_SUPPORT)
  target_link_libraries(orva_http INTERFACE orva_openssl)
  if(WIN32)
    target_link_libraries(orva_http INTERFACE ws2_32)
  else()
    target_link_libraries(orva_http INTERFACE Threads::Threads)
  endif()
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ORVA_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  add_library(orva_http INTERFACE)
  target_link_libraries(orva_http INTERFACE PkgConfig::ORVA_HTTPLIB)
endif()

# SQLite for the record store: Debian's libsqlite3 on Linux. The Windows
# builds compile SQLite's one-file source, made from Debian's source package
# of the same version by scripts/install-deps.
if(WIN32)
  set(ORVA_SQLITE_SOURCE "/usr/local/share/orvaload/sqlite"
      CACHE PATH "SQLite's one-file source made from its source package (scripts/install-deps)")
  if(NOT EXISTS "${ORVA_SQLITE_SOURCE}/sqlite3.c")
    message(FATAL_ERROR "no ${ORVA_SQLITE_SOURCE}/sqlite3.c: run scripts/install-deps")
  endif()
  # SQLite is C; the rest of the project is C++ alone.
  enable_language(C)
  add_library(orva_sqlite STATIC "${ORVA_SQLITE_SOURCE}/sqlite3.c")
  target_include_directories(orva_sqlite SYSTEM PUBLIC "${ORVA_SQLITE_SOURCE}")
  # Serialized threading, no extensions loaded from files; its own code is
  # not ours to keep warning-free.
  target_compile_definitions(orva_sqlite PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION
                             SQLITE_DQS=0)
  target_compile_options(orva_sqlite PRIVATE -w)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ORVA_SQLITE REQUIRED IMPORTED_TARGET sqlite3)
  add_library(orva_sqlite INTERFACE)
  target_link_libraries(orva_sqlite INTERFACE PkgConfig::ORVA_SQLITE)
endif()

# A web page built into a program: `output` names the C++ source that
# defines `symbol` (declared in `header`) from `page`.
function(orva_embed_page page output symbol header)
  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" "-DPAGE=${page}" "-DOUTPUT=${output}" "-DSYMBOL=${symbol}"
            "-DHEADER=${header}" -P "${PROJECT_SOURCE_DIR}/cmake/embed_page.cmake"
    DEPENDS "${page}" "${PROJECT_SOURCE_DIR}/cmake/embed_page.cmake"
            "${PROJECT_SOURCE_DIR}/cmake/OrvaHexBytes.cmake"
    COMMENT "Building ${page} into the program"
    VERBATIM)
endfunction()
