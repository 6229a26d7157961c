# The boot code of the system disk's first sector: boot_code.S is assembled with the GNU
# assembler into a flat binary and turned into the read-only table kBootCode of
# src/disk/boot_code.h. The build fails when the code does not fit its 184 bytes.
find_program(KEST_AS NAMES as REQUIRED)
find_program(KEST_OBJCOPY NAMES objcopy REQUIRED)

set(KEST_BOOT_DIR ${CMAKE_BINARY_DIR}/generated/boot)
set(KEST_BOOT_BINARY ${KEST_BOOT_DIR}/boot_code.bin)
set(KEST_BOOT_SOURCE ${CMAKE_BINARY_DIR}/generated/boot_code.cc)
add_custom_command(
    OUTPUT ${KEST_BOOT_BINARY} ${KEST_BOOT_SOURCE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KEST_BOOT_DIR}
    COMMAND ${KEST_AS} --32 -o ${KEST_BOOT_DIR}/boot_code.o ${CMAKE_SOURCE_DIR}/medium/boot/boot_code.S
    COMMAND ${KEST_OBJCOPY} -O binary -j .text ${KEST_BOOT_DIR}/boot_code.o ${KEST_BOOT_BINARY}
    COMMAND ${CMAKE_COMMAND} -DBINARY=${KEST_BOOT_BINARY} -DSOURCE=${KEST_BOOT_SOURCE}
            -P ${CMAKE_SOURCE_DIR}/medium/boot/embed.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/medium/boot/boot_code.S ${CMAKE_SOURCE_DIR}/medium/boot/embed.cmake
    COMMENT "Assembling the first sector's boot code"
    VERBATIM)
list(APPEND KEST_GENERATED_SOURCES ${KEST_BOOT_SOURCE})
# The code boots in a PC emulator (skipped where qemu-system-i386 is missing). The code is the
# same in every build, so only the plain host build runs it.
if(KEST_TESTS AND NOT KEST_M32 AND NOT KEST_SANITIZE)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  add_test(NAME boot_code.boots_in_emulator
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/medium/boot/boot_code_test.py)
  set_tests_properties(boot_code.boots_in_emulator PROPERTIES
      ENVIRONMENT "BOOT_CODE=${KEST_BOOT_BINARY};SFDISK=$<TARGET_FILE:sfdisk>"
      TIMEOUT 300)
endif()
