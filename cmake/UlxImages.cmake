# Embedding firmware images as ULX_FIRMWARE resources (Linux: .incbin).
include("${CMAKE_CURRENT_LIST_DIR}/image_limits.cmake")  # ulx_check_image()
set(ULX_EMBED_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/embed_images.cmake")

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
            "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/image_limits.cmake"
    COMMENT "Embedding firmware images for ${NAME}"
    VERBATIM)
  set_source_files_properties("${asm}" PROPERTIES OBJECT_DEPENDS "${TARGET_IMAGE};${TRANSITION_IMAGE}")
  set(${OUT_VAR} "${asm}" "${table}" PARENT_SCOPE)
endfunction()
