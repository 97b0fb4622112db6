# Turns a web page into a C++ source that defines the bytes SYMBOL and their
# count SYMBOL_SIZE, declared in HEADER.
#   -DPAGE=<page.html> -DOUTPUT=<file.cpp> -DSYMBOL=<NAME> -DHEADER=<app/x/x_page.h>
include(${CMAKE_CURRENT_LIST_DIR}/OrvaHexBytes.cmake)
file(SIZE "${PAGE}" size)
orva_hex_lines("${PAGE}" hex)
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${PAGE} at build time; do not edit.
#include \"${HEADER}\"

const unsigned char ${SYMBOL}[${size}] = {
${hex}
};
const size_t ${SYMBOL}_SIZE = ${size};
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
