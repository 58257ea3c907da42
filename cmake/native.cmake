# Native Linux build of the Windows-free pieces: unit tests under ASan/UBSan and a libFuzzer target.
set(VARNELO_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_library(varnelo_portable STATIC ${COMMON_PORTABLE_SOURCES} ${SERVICE_PORTABLE_SOURCES})
target_include_directories(varnelo_portable PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(varnelo_portable PRIVATE ${VARNELO_SANITIZE})

if(VARNELO_TESTS)
  add_subdirectory(${GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  enable_testing()
  add_subdirectory(tests/native)
endif()
