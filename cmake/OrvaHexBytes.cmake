# orva_hex_lines(FILE OUT): the bytes of FILE as C++ initialisers, "0xab,"
# each, sixteen to a line. For the scripts that build files into programs;
# they run at build time (cmake -P), also when cross-compiling.
function(orva_hex_lines file out)
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  # CMake's regular expressions have no {n} counts.
  string(REPEAT "0x..," 16 line)
  string(REGEX REPLACE "(${line})" "\\1\n" hex "${hex}")
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()
