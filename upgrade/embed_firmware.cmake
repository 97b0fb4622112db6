# Turns a firmware image file into a C++ source that defines firmware_image().
# Runs as a script at build time (cmake -P), so it works on the build host
# also when the program is cross-compiled.
#   -DIMAGE=<file> -DLOAD_ADDRESS=<number> -DOUTPUT=<file.cpp>

if(NOT EXISTS "${IMAGE}")
  message(FATAL_ERROR "firmware image not found: '${IMAGE}' (set ORVA_FIRMWARE_FILE)")
endif()

file(SIZE "${IMAGE}" size)
if(size EQUAL 0)
  message(FATAL_ERROR "firmware image is empty: '${IMAGE}'")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/../cmake/OrvaHexBytes.cmake)
orva_hex_lines("${IMAGE}" hex)

file(WRITE "${OUTPUT}.tmp"
"// Generated from ${IMAGE} at build time; do not edit.
#include \"upgrade/firmware.h\"

namespace {
const uint8_t image_bytes[${size}] = {
${hex}
};
const FirmwareImage image = {image_bytes, ${size}u, ${LOAD_ADDRESS}u};
} // namespace

const FirmwareImage& firmware_image() {
  return image;
}
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
