# cmake -DBINARY=boot_code.bin -DSOURCE=boot_code.cc -P embed.cmake
# Writes the boot code as the table kBootCode; fails unless the code is exactly 184 bytes.
file(SIZE ${BINARY} size)
if(NOT size EQUAL 184)
  message(FATAL_ERROR "the boot code is ${size} bytes; the first sector has room for 184")
endif()
file(READ ${BINARY} hex HEX)
set(lines "")
foreach(row RANGE 0 183 12)
  math(EXPR offset "${row} * 2")
  string(SUBSTRING "${hex}" ${offset} 24 chunk)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " chunk "${chunk}")
  string(STRIP "${chunk}" chunk)
  string(APPEND lines "    ${chunk}\n")
endforeach()
file(WRITE ${SOURCE}
"// Generated from medium/boot/boot_code.S by medium/boot/embed.cmake; do not edit.
#include \"disk/boot_code.h\"

const unsigned char kBootCode[kBootCodeSize] = {
${lines}};
")
