# The build's trust anchors. kest_trustgen, a program for the build machine (built without
# the target's -m32 and sanitizer flags), reads the trust directory KEST_TRUST_DIR, refuses
# a signing key that is not on the curve or has small order (the build then fails), and
# writes the read-only tables of integrity/trust_anchors.h into the kest library.
set(KEST_TRUST_FILES
    ${KEST_TRUST_DIR}/public_key.hex
    ${KEST_TRUST_DIR}/signature_hash.hex
    ${KEST_TRUST_DIR}/trusted_digests.hex)
foreach(file ${KEST_TRUST_FILES})
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "trust directory ${KEST_TRUST_DIR} lacks ${file}")
  endif()
endforeach()
file(READ ${KEST_TRUST_DIR}/public_key.hex KEST_PUBLIC_KEY_TEXT)
if(KEST_PUBLIC_KEY_TEXT MATCHES "DEVELOPMENT ONLY")
  # Loud for the medium's (static) build, a note for development builds.
  if(KEST_STATIC)
    set(level WARNING)
  else()
    set(level STATUS)
  endif()
  message(${level} "The installer trusts the development signing key of ${KEST_TRUST_DIR}, "
                  "whose private half is public. Build installers for real machines with "
                  "-DKEST_TRUST_DIR=<your trust directory>.")
endif()

add_executable(kest_trustgen
    ${CMAKE_SOURCE_DIR}/trust/trustgen.cc
    ${CMAKE_SOURCE_DIR}/src/integrity/field25519.cc
    ${CMAKE_SOURCE_DIR}/src/integrity/curve25519.cc
    ${CMAKE_SOURCE_DIR}/src/integrity/edwards25519.cc
    ${CMAKE_SOURCE_DIR}/src/integrity/base_table.cc)
target_include_directories(kest_trustgen PRIVATE ${CMAKE_SOURCE_DIR}/src)
# Replaces the directory-wide target flags (-m32, sanitizers) inherited by every target.
set_target_properties(kest_trustgen PROPERTIES
    COMPILE_OPTIONS "-O2;-Wall;-Wextra"
    LINK_OPTIONS ""
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/host)

set(KEST_TRUST_SOURCE ${CMAKE_BINARY_DIR}/generated/trust_anchors.cc)
add_custom_command(
    OUTPUT ${KEST_TRUST_SOURCE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
    COMMAND kest_trustgen ${KEST_TRUST_DIR} ${KEST_TRUST_SOURCE}
    DEPENDS kest_trustgen ${KEST_TRUST_FILES}
    COMMENT "Generating trust anchor tables from ${KEST_TRUST_DIR}"
    VERBATIM)
list(APPEND KEST_GENERATED_SOURCES ${KEST_TRUST_SOURCE})

# The generator refuses unusable anchors (run by ctest).
add_test(NAME trust.generator_refuses_bad_anchors
         COMMAND bash ${CMAKE_SOURCE_DIR}/trust/trustgen_test.sh $<TARGET_FILE:kest_trustgen>
                 ${CMAKE_SOURCE_DIR}/trust)
