# Turns the committed extractor image into a C++ source that defines
# tmb_stub and tmb_stub_len, so building the archiver needs no cross-compiler.
# cmake -DIN=image.bin -DOUT=image.cpp -P bin2cpp.cmake
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR len "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
# Sixteen bytes to a line (CMake's regular expressions have no {n}).
set(line "")
foreach(i RANGE 1 16)
  string(APPEND line "0x[0-9a-f][0-9a-f],")
endforeach()
string(REGEX REPLACE "(${line})" "\\1\n" body "${body}")
file(WRITE "${OUT}.new"
"// Generated from stub/tmb_stub.bin at build time; do not edit.\n"
"#include \"tmb_sfx.h\"\n\n"
"extern const unsigned char tmb_stub[] = {\n${body}\n};\n"
"extern const size_t tmb_stub_len = ${len};\n")
file(RENAME "${OUT}.new" "${OUT}")
