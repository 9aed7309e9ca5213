# libusb-compat: the libusb-0.1 that Fedora, Arch, openSUSE, Alpine and
# others ship (the same API and soname, over libusb-1.0), where Debian ships
# the original 0.1.12. When its source is at hand (PANEL_COMPAT_SOURCE), it
# is built into the build tree, in libusb-compat/, and the tests run the
# programs against it as well, with that folder first in the library path.
# Otherwise PANEL_COMPAT_MISSING says why, and the tests report the compat
# runs as skipped.
file(GLOB panel_compat_found "${PROJECT_SOURCE_DIR}/../shared/third-party/libusb-compat-*.tar.gz")
list(SORT panel_compat_found)
list(POP_BACK panel_compat_found panel_compat_default)
set(PANEL_COMPAT_SOURCE "${panel_compat_default}" CACHE FILEPATH
    "Source archive of libusb-compat-0.1, for testing against it; empty: none")
set(PANEL_COMPAT_DIR "${PROJECT_BINARY_DIR}/libusb-compat")

find_program(PANEL_AUTORECONF autoreconf)
pkg_check_modules(LIBUSB1 QUIET libusb-1.0)
set(PANEL_COMPAT_MISSING "")
if(NOT PANEL_COMPAT_SOURCE OR NOT EXISTS "${PANEL_COMPAT_SOURCE}")
  set(PANEL_COMPAT_MISSING "no libusb-compat source (../shared/third-party/libusb-compat-*.tar.gz)")
elseif(NOT PANEL_AUTORECONF OR NOT LIBUSB1_FOUND)
  set(PANEL_COMPAT_MISSING "libusb-compat needs autoconf, automake, libtool and libusb-1.0-0-dev to build")
elseif(PANEL_SANITIZE)
  set(PANEL_COMPAT_MISSING "not under the sanitizers (libusb-1.0 is not built with them)")
endif()

if(NOT PANEL_COMPAT_MISSING)
  include(ExternalProject)
  ExternalProject_Add(libusb_compat
    URL "${PANEL_COMPAT_SOURCE}"
    PREFIX "${PROJECT_BINARY_DIR}/libusb-compat-build"
    INSTALL_DIR "${PANEL_COMPAT_DIR}"
    CONFIGURE_COMMAND sh -c "cd <SOURCE_DIR> && autoreconf -fi"
              COMMAND <SOURCE_DIR>/configure --prefix=<INSTALL_DIR> --disable-static
    BUILD_COMMAND make
    INSTALL_COMMAND make install
    BUILD_BYPRODUCTS "${PANEL_COMPAT_DIR}/lib/libusb-0.1.so.4"
    LOG_CONFIGURE ON LOG_BUILD ON LOG_INSTALL ON LOG_OUTPUT_ON_FAILURE ON)
else()
  message(STATUS "libusb-compat runs skipped: ${PANEL_COMPAT_MISSING}")
endif()
