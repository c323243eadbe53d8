# The libraries every part of the portal builds against, and the web server's
# headers; the main build and the fuzz build (a clang project of its own)
# both include this.
find_package(PkgConfig REQUIRED)
pkg_check_modules(APR REQUIRED IMPORTED_TARGET apr-1 apr-util-1)
find_package(pugixml REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_program(APXS apxs REQUIRED)
execute_process(COMMAND ${APXS} -q INCLUDEDIR OUTPUT_VARIABLE HTTPD_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
