# The Windows program: the same core over platform/win32, cross-built with
# mingw-w64 (cmake/mingw-w64-x86_64.cmake for 64-bit, mingw-w64-i686.cmake
# for 32-bit). The images and pictures are resources of the exe; the tools
# and tests are built natively.
#
# Supported: Windows 7 SP1 and later, 32- and 64-bit. The headers offer only
# what Windows 7 has (_WIN32_WINNT, set for platform/win32 too), and the PE
# header says 6.1, so an older system refuses the exe with a clear message
# instead of failing on a missing import.
set(ULX_WINDOWS_VERSION_MAJOR 6)
set(ULX_WINDOWS_VERSION_MINOR 1)
set(ULX_WINDOWS_DEFINES _WIN32_WINNT=0x0601 WINVER=0x0601)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(ULX_WINDOWS_BITS 64)
else()
  set(ULX_WINDOWS_BITS 32)
endif()

set(ULX_WINDOWS_TEST_IMAGES "" CACHE PATH
    "Folder with phone.bin and transition.bin (the native build's tests/images): also build the test programs the Wine test drives (on the faster clock)")

# The version text at header offset 92 of an image (printable ASCII; any
# other byte shows as '?'), or "unknown" for an image not made yet.
function(ulx_image_version_text path out_var)
  set(text "unknown")
  if(EXISTS "${path}")
    file(READ "${path}" hex OFFSET 92 LIMIT 36 HEX)
    set(text "")
    string(LENGTH "${hex}" length)
    set(i 0)
    while(i LESS length)
      string(SUBSTRING "${hex}" ${i} 2 byte)
      if(byte STREQUAL "00")
        break()
      endif()
      math(EXPR code "0x${byte}")
      if(code LESS 32 OR code GREATER 126 OR code EQUAL 34)
        set(code 63)
      endif()
      string(ASCII ${code} char)
      string(APPEND text "${char}")
      math(EXPR i "${i} + 2")
    endwhile()
  endif()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

string(REPLACE "." "," ULX_RC_VERSION_COMMAS "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")

# CLOCK: ulxclock_real for what ships, ulxclock_scaled for the programs a
# test drives (platform/CMakeLists.txt).
function(ulx_add_windows_program NAME CLOCK TARGET_IMAGE TRANSITION_IMAGE)
  set(ULX_RC_ICON_DIR "${CMAKE_SOURCE_DIR}/platform/win32/icons")
  set(ULX_RC_TARGET_IMAGE "${TARGET_IMAGE}")
  set(ULX_RC_TRANSITION_LINE "")
  set(stage 1)
  if(TRANSITION_IMAGE)
    set(ULX_RC_TRANSITION_LINE "319 ULX_FIRMWARE \"${TRANSITION_IMAGE}\"")
    set(stage 0)
  endif()
  set(ULX_RC_NAME "${NAME}")
  ulx_image_version_text("${TARGET_IMAGE}" ULX_RC_FIRMWARE_VERSION)
  set(manifest "${CMAKE_CURRENT_BINARY_DIR}/resources/${NAME}.manifest")
  configure_file(platform/win32/ulx-upgrade.manifest.in "${manifest}" @ONLY)
  set(ULX_RC_MANIFEST "${manifest}")
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/resources/${NAME}.rc")
  configure_file(platform/win32/resources.rc.in "${rc}" @ONLY)
  set_source_files_properties("${rc}" PROPERTIES OBJECT_DEPENDS
    "${TARGET_IMAGE};${TRANSITION_IMAGE};${ULX_RC_ICON_DIR}/ulx-adapter.ico;${ULX_RC_ICON_DIR}/ulx-phone.ico;${manifest}")
  add_executable(${NAME} WIN32 platform/win32/main.cpp control/build_config.cpp "${rc}")
  target_compile_definitions(${NAME} PRIVATE ULX_INITIAL_TARGET_STAGE=${stage} ${ULX_WINDOWS_DEFINES})
  target_link_libraries(${NAME} PRIVATE ulxcore ulxplat_win32 ${CLOCK})
  ulx_strict_warnings(${NAME})
  # Static and stripped: a self-contained exe that needs only system DLLs,
  # marked for the oldest Windows it runs on.
  set(v "${ULX_WINDOWS_VERSION_MAJOR}")
  set(r "${ULX_WINDOWS_VERSION_MINOR}")
  target_link_options(${NAME} PRIVATE -static -mwindows -s
    "LINKER:--major-subsystem-version,${v},--minor-subsystem-version,${r}"
    "LINKER:--major-os-version,${v},--minor-os-version,${r}")
endfunction()

ulx_add_windows_program(ulx-upgrade ulxclock_real "${ULX_TARGET_IMAGE}" "${ULX_TRANSITION_IMAGE}")
if(ULX_WINDOWS_TEST_IMAGES)
  # What the Wine test drives: the shipped configuration and its phone and
  # two-stage variants, on the faster clock so that the device wait and
  # every other wait take a fraction of their time.
  ulx_add_windows_program(ulx-test-upgrade ulxclock_scaled "${ULX_TARGET_IMAGE}" "${ULX_TRANSITION_IMAGE}")
  ulx_add_windows_program(ulx-upgrade-phone ulxclock_scaled "${ULX_WINDOWS_TEST_IMAGES}/phone.bin" "")
  ulx_add_windows_program(ulx-upgrade-twostage ulxclock_scaled "${ULX_TARGET_IMAGE}"
    "${ULX_WINDOWS_TEST_IMAGES}/transition.bin")
  # The probe of the idle wait's CPU use (tests/wine_idle_probe.cpp): CPU
  # time over real seconds, so the real clock and its real waits.
  add_executable(ulx-idle-probe WIN32 tests/wine_idle_probe.cpp control/build_config.cpp)
  target_compile_definitions(ulx-idle-probe PRIVATE ULX_INITIAL_TARGET_STAGE=1 ${ULX_WINDOWS_DEFINES})
  target_link_libraries(ulx-idle-probe PRIVATE ulxcore ulxplat_win32 ulxclock_real)
  target_link_options(ulx-idle-probe PRIVATE -static -mwindows)
endif()

# The release: both exes and a README, zipped.
#   cmake --build build-win --target release  ->  build-win/ulx-upgrade-windows-<version>.zip
# The exe of the other word size comes from a build tree of its own inside
# this one, configured with the same images.
ulx_image_version_text("${ULX_TARGET_IMAGE}" ULX_FIRMWARE_VERSION)
set(release_name "ulx-upgrade-windows-${PROJECT_VERSION}")
set(release_dir "${CMAKE_CURRENT_BINARY_DIR}/release/${release_name}")
set(release_zip "${CMAKE_CURRENT_BINARY_DIR}/${release_name}.zip")
if(ULX_WINDOWS_BITS EQUAL 64)
  set(other_bits 32)
  set(other_toolchain mingw-w64-i686.cmake)
else()
  set(other_bits 64)
  set(other_toolchain mingw-w64-x86_64.cmake)
endif()
set(other_dir "${CMAKE_CURRENT_BINARY_DIR}/release-${other_bits}bit")
set(other_args -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/${other_toolchain}
  -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DULX_TARGET_IMAGE=${ULX_TARGET_IMAGE}
  -DULX_TRANSITION_IMAGE=${ULX_TRANSITION_IMAGE} -DULX_WINDOWS_TEST_IMAGES=)
foreach(launcher CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER)
  if(${launcher})
    list(APPEND other_args -D${launcher}=${${launcher}})
  endif()
endforeach()
configure_file(platform/win32/release/README.txt.in "${CMAKE_CURRENT_BINARY_DIR}/release/README.txt"
  @ONLY NEWLINE_STYLE CRLF)
add_custom_target(release-other-exe
  COMMAND ${CMAKE_COMMAND} -S ${CMAKE_SOURCE_DIR} -B ${other_dir} ${other_args}
  COMMAND ${CMAKE_COMMAND} --build ${other_dir} --target ulx-upgrade
  COMMENT "Building the ${other_bits}-bit ulx-upgrade.exe in ${other_dir}"
  VERBATIM)
add_custom_target(release
  COMMAND ${CMAKE_COMMAND} -E rm -rf "${release_dir}" "${release_zip}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${release_dir}"
  COMMAND ${CMAKE_COMMAND} -E copy "$<TARGET_FILE:ulx-upgrade>"
          "${release_dir}/ulx-upgrade-${ULX_WINDOWS_BITS}-bit.exe"
  COMMAND ${CMAKE_COMMAND} -E copy "${other_dir}/ulx-upgrade.exe"
          "${release_dir}/ulx-upgrade-${other_bits}-bit.exe"
  COMMAND ${CMAKE_COMMAND} -E copy "${CMAKE_CURRENT_BINARY_DIR}/release/README.txt" "${release_dir}/README.txt"
  COMMAND ${CMAKE_COMMAND} -E tar cf "${release_zip}" --format=zip "${release_name}"
  WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/release"
  COMMENT "Making ${release_name}.zip"
  VERBATIM)
add_dependencies(release ulx-upgrade release-other-exe)
