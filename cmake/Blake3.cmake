# The official BLAKE3 C implementation, compiled from the sources Debian ships in
# librust-blake3-dev, with its x86-64 assembly and runtime dispatch.
file(GLOB ZD_BLAKE3_DIRS /usr/share/cargo/registry/blake3-*/c)
list(SORT ZD_BLAKE3_DIRS)
list(LENGTH ZD_BLAKE3_DIRS ZD_BLAKE3_COUNT)
if(ZD_BLAKE3_COUNT EQUAL 0)
  message(FATAL_ERROR "BLAKE3 C sources not found under /usr/share/cargo/registry/blake3-*/c: "
                      "run scripts/install-deps.sh (package librust-blake3-dev)")
endif()
list(GET ZD_BLAKE3_DIRS -1 ZD_BLAKE3_DIR)
message(STATUS "BLAKE3 sources: ${ZD_BLAKE3_DIR}")

add_library(blake3 STATIC
  ${ZD_BLAKE3_DIR}/blake3.c
  ${ZD_BLAKE3_DIR}/blake3_dispatch.c
  ${ZD_BLAKE3_DIR}/blake3_portable.c
  ${ZD_BLAKE3_DIR}/blake3_sse2_x86-64_unix.S
  ${ZD_BLAKE3_DIR}/blake3_sse41_x86-64_unix.S
  ${ZD_BLAKE3_DIR}/blake3_avx2_x86-64_unix.S
  ${ZD_BLAKE3_DIR}/blake3_avx512_x86-64_unix.S)
target_include_directories(blake3 SYSTEM PUBLIC ${ZD_BLAKE3_DIR})
set_target_properties(blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON)
