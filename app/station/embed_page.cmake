# Turns the station's page into a C++ source that defines STATION_PAGE.
#   -DPAGE=<station.html> -DOUTPUT=<file.cpp>
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/OrvaHexBytes.cmake)
file(SIZE "${PAGE}" size)
orva_hex_lines("${PAGE}" hex)
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${PAGE} at build time; do not edit.
#include \"app/station/station_page.h\"

const unsigned char STATION_PAGE[${size}] = {
${hex}
};
const size_t STATION_PAGE_SIZE = ${size};
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
