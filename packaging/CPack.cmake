# Debian packages, one per install component (./dev package; cpack -G DEB in a
# build tree). The package build configures with the prefix /usr, so that the
# library lands in the multiarch directory that GNUInstallDirs chooses.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kyrhidlib)
set(CPACK_PACKAGE_VENDOR "The KyrHIDLib developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "access to the Kyr optical touch-sensing devices")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/strip.cmake)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev doc python)
if(KYR_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools sim)
endif()

# No upstream Debian revision: these are native packages, which is also why
# the changelog is changelog.gz rather than changelog.Debian.gz.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Placeholders under example.org until the project has a public address
# (README.md, "Documentation, install and packages", says so).
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The KyrHIDLib developers <kyrhidlib@example.org>")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/kyrhidlib")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps must find the library the tools link; the one in the build
# tree serves. The dependency on its package is stated below, with the version.
get_target_property(_kyr_lib_build_dir KyrHIDLib BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${_kyr_lib_build_dir})

# The library package is named after its soname, as Debian does:
# KyrHIDLib-1.0.so.0.0.0 -> kyrhidlib-1.0-0.0.0. In step with KYR_SONAME of
# KyrHIDLib/build/Linux/CMakeLists.txt; tests/packaging/deb_test.sh checks it
# against the library file and its shlibs entry.
set(KYR_SONAME_NAME KyrHIDLib-1.0)
set(KYR_SONAME_VERSION 0.0.0)
string(TOLOWER "${KYR_SONAME_NAME}-${KYR_SONAME_VERSION}" KYR_DEB_LIB_PACKAGE)
set(KYR_DEB_DEV_PACKAGE kyrhidlib-dev)
set(KYR_DEB_TOOLS_PACKAGE kyrhidlib-tools)
set(KYR_DEB_SIM_PACKAGE kyrhidlib-sim)
set(KYR_DEB_DOC_PACKAGE kyrhidlib-doc)
set(KYR_DEB_PYTHON_PACKAGE python3-kyrhid)
set(KYR_DEB_COMPONENTS runtime dev tools sim doc python)
set(KYR_DEB_PACKAGES ${KYR_DEB_LIB_PACKAGE} ${KYR_DEB_DEV_PACKAGE} ${KYR_DEB_TOOLS_PACKAGE} ${KYR_DEB_SIM_PACKAGE}
  ${KYR_DEB_DOC_PACKAGE} ${KYR_DEB_PYTHON_PACKAGE})
set(_kyr_same_version "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${KYR_DEB_LIB_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "access to the Kyr optical touch-sensing devices - library
KyrHIDLib finds, opens and drives the optical touch-sensing devices of the
Kyr family over USB: it decodes their packet stream (touch points, gestures,
images, responses), sends commands, keeps the requested data modes alive and
lets several processes share a device safely.
.
This package holds the shared library and the udev rule that lets
logged-in users and the plugdev group open the devices.")
# The shlibs file names the package to dpkg-shlibdeps of packages that link
# the library (CPack's own generator does not read a soname without "lib"
# in front); the symbols file lists what the library exports, and since
# which version (tests/packaging/deb_test.sh compares it with the library);
# the triggers file has dpkg run ldconfig.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/shlibs.in ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs @ONLY)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs ${CMAKE_CURRENT_LIST_DIR}/debian/symbols
  ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${KYR_DEB_DEV_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${KYR_DEB_LIB_PACKAGE} ${_kyr_same_version}, libusb-1.0-0-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_DESCRIPTION "access to the Kyr optical touch-sensing devices - development files
KyrHIDLib finds, opens and drives the optical touch-sensing devices of the
Kyr family over USB.
.
This package holds what building against the library needs: the C header
with the family's USB ids, the pkg-config file KyrHIDLib-1.0, the CMake
package KyrHIDLib and the link-time name of the library.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${KYR_DEB_TOOLS_PACKAGE})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${KYR_DEB_LIB_PACKAGE} ${_kyr_same_version}")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "access to the Kyr optical touch-sensing devices - tools
KyrHIDLib finds, opens and drives the optical touch-sensing devices of the
Kyr family over USB.
.
This package holds kyrhid, the command-line tool that lists, inspects,
monitors, records and commands the devices.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME ${KYR_DEB_SIM_PACKAGE})
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
# kyrsim runs its program through umockdev-wrapper.
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "${KYR_DEB_LIB_PACKAGE} ${_kyr_same_version}, umockdev")
set(CPACK_DEBIAN_SIM_DESCRIPTION "access to the Kyr optical touch-sensing devices - device emulator
KyrHIDLib finds, opens and drives the optical touch-sensing devices of the
Kyr family over USB.
.
This package holds kyrsim, which runs a program with emulated Kyr devices
attached (protocol, loopback and replay models, faults on request), so that
applications can be tried and tested without hardware.")

set(CPACK_DEBIAN_DOC_PACKAGE_NAME ${KYR_DEB_DOC_PACKAGE})
set(CPACK_DEBIAN_DOC_PACKAGE_SECTION doc)
set(CPACK_DEBIAN_DOC_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DOC_PACKAGE_DEPENDS "")
set(CPACK_DEBIAN_DOC_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DOC_DESCRIPTION "access to the Kyr optical touch-sensing devices - documentation
KyrHIDLib finds, opens and drives the optical touch-sensing devices of the
Kyr family over USB.
.
This package holds the API reference in HTML, the rules for threads,
callbacks and several processes sharing a device, and example programs.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${KYR_DEB_PYTHON_PACKAGE})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
# The package loads the library by its soname through ctypes.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, ${KYR_DEB_LIB_PACKAGE} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "access to the Kyr optical touch-sensing devices - Python 3
KyrHIDLib finds, opens and drives the optical touch-sensing devices of the
Kyr family over USB.
.
This package holds kyrhid, the Python 3 package over the library's C
interface.")

include(CPack)
