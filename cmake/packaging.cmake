# Debian packages through CPack: libhalvex1 (component library), libhalvex-dev
# (development), halvex-tools (tools), where the PRU binutils were found
# halvex-pru-firmware (firmware: the PRU images, for every architecture), and where dtc
# was, halvex-device-tree (devicetree: the board's tree additions, likewise). tools/package
# builds them for amd64 and armhf and passes in the dependencies that dpkg-shlibdeps
# computed from the binaries.
set(HALVEX_DEB_ARCH "" CACHE STRING "Debian architecture of the packages (amd64, armhf)")
set(HALVEX_DEB_LIB_DEPENDS "" CACHE STRING "libhalvex1's Depends, from dpkg-shlibdeps")
set(HALVEX_DEB_TOOLS_DEPENDS "" CACHE STRING "halvex-tools' Depends, from dpkg-shlibdeps")

# Each package carries its copyright and changelog, as Debian policy asks.
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/changelog.in ${CMAKE_BINARY_DIR}/deb/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/deb/changelog.gz
  COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/deb/changelog > ${CMAKE_BINARY_DIR}/deb/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/deb/changelog)
set(man_pages)
file(GLOB pages RELATIVE ${PROJECT_SOURCE_DIR}/examples/man CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/man/*.1)
foreach(page ${pages})
  get_filename_component(p ${page} NAME_WE)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/deb/${p}.1.gz
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/examples/man/${p}.1 > ${CMAKE_BINARY_DIR}/deb/${p}.1.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/examples/man/${p}.1)
  list(APPEND man_pages ${CMAKE_BINARY_DIR}/deb/${p}.1.gz)
endforeach()
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
add_custom_target(halvex_package_docs ALL DEPENDS ${CMAKE_BINARY_DIR}/deb/changelog.gz ${man_pages})
# The library's shlibs line, for the packages built against it; the ldconfig trigger
# (a maintainer script calling ldconfig is the old way).
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/shlibs.in ${CMAKE_BINARY_DIR}/deb/shlibs @ONLY)
set(halvex_packages library:libhalvex1 development:libhalvex-dev tools:halvex-tools python:python3-halvex)
if(HALVEX_FIRMWARE_BUILT)
  list(APPEND halvex_packages firmware:halvex-pru-firmware)
endif()
if(HALVEX_DEVICETREE_BUILT)
  list(APPEND halvex_packages devicetree:halvex-device-tree)
endif()
foreach(pair ${halvex_packages})
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/copyright ${CMAKE_BINARY_DIR}/deb/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_PACKAGE_NAME halvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "halvex developers <developers@halvex.example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL library development tools python)
if(HALVEX_FIRMWARE_BUILT)
  list(APPEND CPACK_COMPONENTS_ALL firmware)
endif()
if(HALVEX_DEVICETREE_BUILT)
  list(APPEND CPACK_COMPONENTS_ALL devicetree)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(HALVEX_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${HALVEX_DEB_ARCH})
endif()

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libhalvex1)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "${HALVEX_DEB_LIB_DEPENDS}")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/deb/triggers ${CMAKE_BINARY_DIR}/deb/shlibs)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION
  "board support library for ARMv7-A robots
libhalvex gives a robot's code the positions of four quadrature encoder
channels (three eQEP units and PRU firmware), dot-product and sum-of-squares
kernels, and the board services: serial buses, servo and ESC outputs, buttons,
threads, sleep and PRU control, on vendor 4.x, vendor 5.10+ and mainline
kernels.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libhalvex-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libhalvex1 (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "board support library for ARMv7-A robots (development files)
The headers of libhalvex, one per module or service, its pkg-config file and
its CMake package, for building a robot's code against the library.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME halvex-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${HALVEX_DEB_TOOLS_DEPENDS}, adduser")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/udev/postinst)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "terminal programs that exercise a robot board through libhalvex
hx_serial_echo and serial_probe test a UART, hx_throttle_cal teaches ESCs
their throttle range, hx_press_monitor reports the pause and mode buttons,
hx_board_check says what the board's kernel offers and what is missing. Its
udev rules give the group halvex what the library uses on the board, so that a
robot program needs no root.")

# The PRU images are the same for every host architecture.
if(HALVEX_FIRMWARE_BUILT)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/halvex-pru-firmware.lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME halvex-pru-firmware COMPONENT firmware)
endif()
set(CPACK_DEBIAN_FIRMWARE_PACKAGE_NAME halvex-pru-firmware)
set(CPACK_DEBIAN_FIRMWARE_PACKAGE_SECTION kernel)
set(CPACK_DEBIAN_FIRMWARE_PACKAGE_ARCHITECTURE all)
set(CPACK_COMPONENT_FIRMWARE_DESCRIPTION
  "PRU firmware of libhalvex: encoder channel 4 and the servo outputs
am335x-pru0-hx-encoder-fw counts the quadrature edges of encoder channel 4 on
PRU core 0's direct inputs into the PRU shared RAM, where libhalvex's
hx_fwquad module reads them. am335x-pru1-hx-servo-fw sends the servo header's
eight pulse channels on PRU core 1's outputs, one pulse per request of
libhalvex's servo service. Installed in /lib/firmware for remoteproc.")

# The Python package, pure Python: one for every architecture, on the library of the
# same version.
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-halvex)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.9), libhalvex1 (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/python/postinst ${PROJECT_SOURCE_DIR}/python/prerm)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
  "board support library for ARMv7-A robots (Python 3)
The halvex package: the encoder channels, the dot-product and sum-of-squares
kernels, serial buses, servo and ESC outputs, buttons with callbacks and the
board check, from Python 3.9 and newer, over libhalvex's own functions
(ctypes: nothing to compile). Failures raise halvex.Error.")

# The board's device tree additions, the same for every host architecture. fdtoverlay and
# fdtget (device-tree-compiler) merge them; flash-kernel installs the merged tree.
set(CPACK_DEBIAN_DEVICETREE_PACKAGE_NAME halvex-device-tree)
set(CPACK_DEBIAN_DEVICETREE_PACKAGE_SECTION kernel)
set(CPACK_DEBIAN_DEVICETREE_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DEVICETREE_PACKAGE_DEPENDS "device-tree-compiler")
set(CPACK_DEBIAN_DEVICETREE_PACKAGE_SUGGESTS "flash-kernel")
set(CPACK_DEBIAN_DEVICETREE_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/devicetree/postinst
  ${PROJECT_SOURCE_DIR}/devicetree/prerm ${PROJECT_SOURCE_DIR}/devicetree/conffiles)
set(CPACK_COMPONENT_DEVICETREE_DESCRIPTION
  "device tree additions of libhalvex for the board
The board's own tree leaves the PRU-ICSS disabled, the pads of encoder 4, the
servo header, the buttons and the servo rail unmuxed, and muxes eQEP0's A input
on the wrong pad. These additions enable the PRU-ICSS and both its cores, mux
those pads, and give eQEP0 its own pads. On Debian's kernels they are merged
into each new kernel's tree for the board and installed by flash-kernel; an
overlay for boot loaders that apply overlays comes with them.")

include(CPack)
