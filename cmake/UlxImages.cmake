# Embedding firmware images as ULX_FIRMWARE resources (Linux: .incbin).
set(ULX_IMAGE_MIN_SIZE 128)
# 65,535 TFTP blocks of 512 bytes, the last one shorter than 512.
set(ULX_IMAGE_MAX_SIZE 33553919)
set(ULX_EMBED_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/embed_images.cmake")

# Configure-time check of an image that already exists.
function(ulx_check_image path)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "Firmware image not found: ${path}")
  endif()
  file(SIZE "${path}" size)
  if(size LESS ${ULX_IMAGE_MIN_SIZE})
    message(FATAL_ERROR "Firmware image ${path} is ${size} bytes: shorter than its 128-byte header")
  endif()
  if(size GREATER ${ULX_IMAGE_MAX_SIZE})
    message(FATAL_ERROR "Firmware image ${path} is ${size} bytes: over 33,553,919 bytes (more than 65,535 TFTP blocks)")
  endif()
endfunction()

# Generates the assembler file holding the images and the resource table
# for program NAME; the list of generated sources goes to OUT_VAR. The size
# check runs again at build time, for images made during the build.
function(ulx_embed_images NAME TARGET_IMAGE TRANSITION_IMAGE DEPENDS OUT_VAR)
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/resources/${NAME}")
  set(asm "${dir}/images.S")
  set(table "${dir}/resource_table.cpp")
  add_custom_command(
    OUTPUT "${asm}" "${table}"
    COMMAND ${CMAKE_COMMAND} -DTARGET_IMAGE=${TARGET_IMAGE}
            -DTRANSITION_IMAGE=${TRANSITION_IMAGE} -DOUT_ASM=${asm} -DOUT_TABLE=${table}
            -P "${ULX_EMBED_SCRIPT}"
    DEPENDS "${TARGET_IMAGE}" ${TRANSITION_IMAGE} ${DEPENDS} "${ULX_EMBED_SCRIPT}"
    COMMENT "Embedding firmware images for ${NAME}"
    VERBATIM)
  set_source_files_properties("${asm}" PROPERTIES OBJECT_DEPENDS "${TARGET_IMAGE};${TRANSITION_IMAGE}")
  set(${OUT_VAR} "${asm}" "${table}" PARENT_SCOPE)
endfunction()
