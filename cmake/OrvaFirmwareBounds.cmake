# Which firmware images the build embeds. An image must hold at least one
# byte, at most 16 MiB (the limit of firmware files too: about half an hour
# on the line), and its last byte must lie within the 32-bit address space
# the controller's messages carry.

# Sets `out` to why `size` bytes at `load` cannot be embedded, or to "" when
# they can. `load` is a number as ORVA_FIRMWARE_LOAD_ADDRESS holds it.
function(orva_firmware_refusal size load out)
  set(reason "")
  # Digits without a 0x and leading zeros: more than 8 hexadecimal or 10
  # decimal ones cannot be a 32-bit address (and could overflow math()).
  string(REGEX MATCH "^(0[xX])?0*([0-9a-fA-F]*)$" digits "${load}")
  string(LENGTH "${CMAKE_MATCH_2}" length)
  if(NOT load MATCHES "^(0[xX][0-9a-fA-F]+|[0-9]+)$")
    set(reason "the load address must be a number (0x4000 or 16384), not '${load}'")
  elseif((load MATCHES "^0[xX]" AND length GREATER 8) OR length GREATER 10)
    set(reason "the load address ${load} lies beyond the 32-bit address space")
  elseif(size EQUAL 0)
    set(reason "the image is empty")
  elseif(size GREATER 16777216)
    set(reason "an image of ${size} bytes is larger than 16 MiB")
  else()
    math(EXPR end "${load} + ${size}")
    if(end GREATER 4294967296)
      set(reason "an image of ${size} bytes at ${load} passes the top of the 32-bit address space")
    endif()
  endif()
  set(${out} "${reason}" PARENT_SCOPE)
endfunction()
