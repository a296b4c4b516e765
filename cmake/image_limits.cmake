# The size limits of a firmware image and their check, in one place: used by
# UlxImages.cmake at configure time and by embed_images.cmake (cmake -P) at
# build time, for images made during the build.
#
# An image holds at least its 128-byte header, and at most 65,535 TFTP blocks
# of 512 bytes, the last one shorter than 512 (a full last block would need a
# 65,536th, empty one).
set(ULX_IMAGE_MIN_SIZE 128)
set(ULX_IMAGE_MAX_BLOCKS 65535)
math(EXPR ULX_IMAGE_MAX_SIZE "${ULX_IMAGE_MAX_BLOCKS} * 512 - 1")

# 33553919 -> 33,553,919
function(ulx_thousands number out_var)
  set(text "${number}")
  while(text MATCHES "^([0-9]+)([0-9][0-9][0-9])(.*)$")
    set(text "${CMAKE_MATCH_1},${CMAKE_MATCH_2}${CMAKE_MATCH_3}")
  endwhile()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# Stops the configure or the build when the image at path is missing or
# outside the limits.
function(ulx_check_image path)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "Firmware image not found: ${path}")
  endif()
  file(SIZE "${path}" size)
  if(size LESS ULX_IMAGE_MIN_SIZE)
    message(FATAL_ERROR "Firmware image ${path} is ${size} bytes: shorter than its ${ULX_IMAGE_MIN_SIZE}-byte header")
  endif()
  if(size GREATER ULX_IMAGE_MAX_SIZE)
    ulx_thousands(${ULX_IMAGE_MAX_SIZE} max)
    ulx_thousands(${ULX_IMAGE_MAX_BLOCKS} blocks)
    message(FATAL_ERROR "Firmware image ${path} is ${size} bytes: over ${max} bytes (more than ${blocks} TFTP blocks)")
  endif()
endfunction()
