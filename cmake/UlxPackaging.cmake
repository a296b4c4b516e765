# Installing the programs, their man pages, and the Debian packages.
#
#   ulx_install_program(<target> <package> [TFTP_PORTS])
#
# installs a program into /usr/bin of a package: `upgrade` (ulx-upgrade,
# the programs people upgrade devices with) or `sim` (ulx-upgrade-sim, the
# simulated device and the image maker for demos and labs). TFTP_PORTS: the
# program serves firmware over TFTP and needs the right to bind UDP ports
# 69 to 168 (cap_net_bind_service), granted by the package's postinst or by
# a plain `cmake --install` run as root.
#
# Its man page is tools/man/<target>.1.scd, found by name: a new program
# needs its install line and its page, nothing else.
#
#   cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DULX_BUILD_TESTS=OFF
#   cmake --build build-pkg -j && (cd build-pkg && cpack -G DEB)
include(GNUInstallDirs)

set(ULX_PACKAGE_MAINTAINER "ulx-upgrade developers <ulx-upgrade@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(ULX_PACKAGE_upgrade ulx-upgrade)
set(ULX_PACKAGE_sim ulx-upgrade-sim)
set(ULX_PACKAGING_DIR "${CMAKE_CURRENT_LIST_DIR}/../tools/packaging")
set(ULX_MAN_DIR "${CMAKE_CURRENT_LIST_DIR}/../tools/man")

function(ulx_install_program target component)
  cmake_parse_arguments(P "TFTP_PORTS" "" "" ${ARGN})
  if(NOT DEFINED ULX_PACKAGE_${component})
    message(FATAL_ERROR "ulx_install_program(${target}): no package ${component}")
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  set_property(TARGET ${target} PROPERTY ULX_PACKAGE_COMPONENT ${component})
  set_property(GLOBAL APPEND PROPERTY ULX_INSTALLED_PROGRAMS ${target})
  set_property(GLOBAL APPEND PROPERTY ULX_PACKAGED_COMPONENTS ${component})
  if(P_TFTP_PORTS)
    set_property(GLOBAL APPEND PROPERTY ULX_TFTP_PROGRAMS_${component} ${target})
  endif()
endfunction()

# Section 1 pages from tools/man/*.1.scd, made with scdoc at build time:
# build/man/<program>.1 to read with `man ./…`, and the .1.gz a package
# holds. Each goes into the package of its program.
function(ulx_add_man_pages)
  find_program(ULX_SCDOC scdoc)
  find_program(ULX_GZIP gzip REQUIRED)
  get_property(programs GLOBAL PROPERTY ULX_INSTALLED_PROGRAMS)
  file(GLOB sources CONFIGURE_DEPENDS "${ULX_MAN_DIR}/*.1.scd")
  if(NOT ULX_SCDOC)
    message(WARNING "scdoc not found: the man pages are not built (apt-get install scdoc)")
    return()
  endif()
  set(pages "")
  foreach(source IN LISTS sources)
    get_filename_component(file "${source}" NAME)
    string(REGEX REPLACE "\\.1\\.scd$" "" program "${file}")
    if(NOT program IN_LIST programs)
      continue()  # a page of a program this build leaves out
    endif()
    get_target_property(component ${program} ULX_PACKAGE_COMPONENT)
    set(page "${CMAKE_BINARY_DIR}/man/${program}.1")
    add_custom_command(
      OUTPUT "${page}" "${page}.gz"
      COMMAND ${CMAKE_COMMAND} -DSCDOC=${ULX_SCDOC} -DGZIP=${ULX_GZIP} -DSOURCE=${source} -DPAGE=${page}
              -P "${CMAKE_SOURCE_DIR}/cmake/man_page.cmake"
      DEPENDS "${source}" "${CMAKE_SOURCE_DIR}/cmake/man_page.cmake"
      COMMENT "Man page ${program}(1)"
      VERBATIM)
    list(APPEND pages "${page}" "${page}.gz")
    install(FILES "${page}.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  endforeach()
  add_custom_target(ulx-man-pages ALL DEPENDS ${pages})
  foreach(program IN LISTS programs)
    if(NOT EXISTS "${ULX_MAN_DIR}/${program}.1.scd")
      message(WARNING "${program} is installed without a man page: add tools/man/${program}.1.scd")
    endif()
  endforeach()
endfunction()

# A plain `cmake --install` run as root grants the TFTP programs their
# right itself. A staged install (DESTDIR set: packaging) leaves that to the
# package's postinst, as file capabilities do not survive into a package.
function(ulx_install_capability component)
  get_property(tftpPrograms GLOBAL PROPERTY ULX_TFTP_PROGRAMS_${component})
  foreach(program IN LISTS tftpPrograms)
    install(CODE "set(ULX_INSTALLED_BINARY \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\")"
      COMPONENT ${component})
    install(CODE [[
      find_program(ULX_SETCAP setcap PATHS /usr/sbin /sbin)
      set(failed 0)
      if(ULX_SETCAP AND "$ENV{DESTDIR}" STREQUAL "")
        execute_process(COMMAND ${ULX_SETCAP} cap_net_bind_service=+ep "${ULX_INSTALLED_BINARY}"
                        RESULT_VARIABLE failed)
      endif()
      if(NOT "$ENV{DESTDIR}" STREQUAL "")
        # A staged install: the package grants it.
      elseif(NOT ULX_SETCAP OR failed)
        message(WARNING "Could not grant ${ULX_INSTALLED_BINARY} cap_net_bind_service: run it as root, "
                        "or run 'setcap cap_net_bind_service=+ep ${ULX_INSTALLED_BINARY}' as root")
      else()
        message(STATUS "Granted cap_net_bind_service: ${ULX_INSTALLED_BINARY}")
      endif()
    ]] COMPONENT ${component})
  endforeach()
endfunction()

# The files every Debian package carries in /usr/share/doc/<package>: the
# copyright and a changelog (the package is native: its version is the
# project's, without a Debian revision). Only packages get them.
function(ulx_install_package_docs component)
  set(package ${ULX_PACKAGE_${component}})
  set(dir "${CMAKE_BINARY_DIR}/packaging/${package}")
  # The changelog entry's date honours SOURCE_DATE_EPOCH (reproducible
  # builds).
  string(TIMESTAMP ULX_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  set(ULX_PACKAGE_NAME ${package})
  configure_file("${ULX_PACKAGING_DIR}/changelog.in" "${dir}/changelog" @ONLY)
  execute_process(COMMAND ${ULX_GZIP} -9nc INPUT_FILE "${dir}/changelog" OUTPUT_FILE "${dir}/changelog.gz"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip failed on ${dir}/changelog")
  endif()
  install(FILES "${ULX_PACKAGING_DIR}/copyright" "${dir}/changelog.gz"
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()

function(ulx_finish_packaging)
  ulx_add_man_pages()
  ulx_install_capability(upgrade)
  # A package per component that has a program in this build: without the
  # tools (-DULX_BUILD_TOOLS=OFF) there is no ulx-upgrade-sim.
  get_property(components GLOBAL PROPERTY ULX_PACKAGED_COMPONENTS)
  list(REMOVE_DUPLICATES components)
  foreach(component IN LISTS components)
    ulx_install_package_docs(${component})
  endforeach()

  # The maintainer script: postinst grants the TFTP programs their right.
  # Removal needs no script: the capability lives in the file's extended
  # attributes and goes with it, and nothing else is created.
  get_property(tftpPrograms GLOBAL PROPERTY ULX_TFTP_PROGRAMS_upgrade)
  list(JOIN tftpPrograms " " ULX_TFTP_PROGRAMS)
  set(ULX_BINDIR "/usr/${CMAKE_INSTALL_BINDIR}")
  set(ULX_PACKAGE_NAME ulx-upgrade)
  configure_file("${ULX_PACKAGING_DIR}/postinst.in" "${CMAKE_BINARY_DIR}/packaging/ulx-upgrade/postinst" @ONLY)

  # lintian reports no error and no warning on either package. With
  # --pedantic it adds only notes: hardening-no-bindnow and
  # hardening-no-fortify-functions (the build takes CMake's flags, not
  # dpkg-buildflags'), binary-has-unneeded-section .comment (CPack strips
  # without arguments) and spelling-error-in-binary "lik" (no such word in
  # our texts: a byte run of the binary that reads as one).
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME ulx-upgrade)
  set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
  set(CPACK_PACKAGE_CONTACT "${ULX_PACKAGE_MAINTAINER}")
  # Installs for /usr into a staging DESTDIR, which tells the install code
  # above that this is a package build.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX /usr)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL ${components})
  set(CPACK_COMPONENTS_GROUPING IGNORE)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # Dependencies come from the binaries (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

  set(CPACK_DEBIAN_UPGRADE_PACKAGE_NAME ulx-upgrade)
  # setcap, for the postinst; the libraries come from shlibdeps.
  set(CPACK_DEBIAN_UPGRADE_PACKAGE_DEPENDS "libcap2-bin")
  set(CPACK_DEBIAN_UPGRADE_PACKAGE_CONTROL_EXTRA "${CMAKE_BINARY_DIR}/packaging/ulx-upgrade/postinst")
  set(CPACK_DEBIAN_UPGRADE_DESCRIPTION
"firmware upgrade utility for ULX telephone adapters
Upgrades the firmware of ULX telephone adapters, and of the one IP phone
of the family, over the local network. One build carries one firmware
release. The user walks a fixed run of dialogs: a warning, the device's
address and this computer's own address, a confirmation showing what the
device reports about itself, then progress windows while the device
fetches the image from the program's own TFTP server.
.
This package holds the desktop program ulx-upgrade and ulx-upgrade-script,
whose dialogs are driven line by line through standard input and output
for scripted upgrades and acceptance checks.")

  set(CPACK_DEBIAN_SIM_PACKAGE_NAME ulx-upgrade-sim)
  set(CPACK_DEBIAN_SIM_DESCRIPTION
"simulated ULX telephone adapter and firmware image maker
Tools for demos, labs and tests of ulx-upgrade. ulx-device-sim plays a ULX
telephone adapter on an IPv4 address: its status page, HTTP Digest
authentication, the upgrade order, the TFTP download and a restart into the
new version, with fault switches for tests. ulx-mkimage writes stand-in
firmware images.")
  include(CPack)
endfunction()
