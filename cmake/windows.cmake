# Windows programs (MinGW-w64 cross build), their test doubles and the tests run under Wine.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_compile_definitions(UNICODE _UNICODE _WIN32_WINNT=0x0601 WINVER=0x0601 NOMINMAX)
include(cmake/reproducible.cmake)

# Version blocks and manifests of both programs take the product version from project().
set(VARNELO_VERSION ${PROJECT_VERSION})
string(REPLACE "." "," VARNELO_VERSION_COMMAS ${PROJECT_VERSION})

# Shipped programs carry no debug sections: a post-build step moves their debug information
# (compiled with -g) into <program>.debug beside them and names that file in the program, so a
# debugger still finds it. Runs before any signing step, which copies the linked file.
# objcopy writes the clock into the PE header of what it rewrites unless SOURCE_DATE_EPOCH names a
# time: 0 keeps the header as free of time stamps as the link leaves it. The program is then
# padded to 8 bytes as a signer pads it, so removing a signature gives back exactly these bytes.
function(varnelo_ship_stripped target)
  target_compile_options(${target} PRIVATE -g)
  if(NOT CMAKE_OBJCOPY)
    return()
  endif()
  set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${objcopy} --only-keep-debug $<TARGET_FILE_NAME:${target}> $<TARGET_FILE_NAME:${target}>.debug
    COMMAND ${objcopy} --strip-all --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug $<TARGET_FILE_NAME:${target}>
    COMMAND python3 ${CMAKE_SOURCE_DIR}/cmake/pe-align.py $<TARGET_FILE_NAME:${target}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    COMMENT "Moving the debug information of $<TARGET_FILE_NAME:${target}> beside it, padding it")
endfunction()

add_library(varnelo_common STATIC
  ${COMMON_PORTABLE_SOURCES}
  common/unique_resource.cpp
  common/platform.cpp
  common/registry_text.cpp
  common/inherited_handles.cpp
  common/account.cpp
  common/process_list.cpp
)
target_compile_options(varnelo_common PRIVATE -g)
target_include_directories(varnelo_common PUBLIC ${CMAKE_SOURCE_DIR})

add_subdirectory(toolkit)
add_subdirectory(uninstaller)
if(VARNELO_TESTS)
  include(tools/uninstaller_test_builds.cmake)
endif()

# The service ships only as a 64-bit program.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  return()
endif()

add_library(varnelo_service_lib STATIC
  ${SERVICE_PORTABLE_SOURCES}
  service/log/service_log.cpp
  service/setup/console_output.cpp
  service/log/log_folder.cpp
  service/log/relative_files.cpp
  service/protocol/response.cpp
  service/pipe/pipe_server.cpp
  service/pipe/pipe_deadline.cpp
  service/trust/caller.cpp
  service/trust/caller_check.cpp
  service/trust/trust.cpp
  service/trust/enforcement.cpp
  service/core/status_commands.cpp
  service/trust/path_validation.cpp
  service/trust/path_access.cpp
  service/core/core_state.cpp
  service/core/core_launch.cpp
  service/core/core_stop.cpp
  service/watchdog/proxy_watchdog.cpp
  service/watchdog/proxy_cleanup.cpp
  service/commands.cpp
  service/service_host.cpp
  service/setup/install_acl.cpp
  service/setup/install.cpp
  service/setup/service_state.cpp
  service/setup/uninstall_service.cpp
)
target_link_libraries(varnelo_service_lib PUBLIC varnelo_common wintrust crypt32 imagehlp advapi32
                      user32 psapi ntdll)

# Version block and manifest (asInvoker: the control manager starts it as LocalSystem, and
# -install / -uninstall run with the rights of whoever starts them).
set(SERVICE_MANIFEST ${CMAKE_BINARY_DIR}/service/VarneloService.manifest)
set(SERVICE_RC ${CMAKE_BINARY_DIR}/service/VarneloService.rc)
configure_file(service/res/VarneloService.manifest.in ${SERVICE_MANIFEST} @ONLY)
configure_file(service/res/VarneloService.rc.in ${SERVICE_RC} @ONLY)
set_source_files_properties(${SERVICE_RC} PROPERTIES OBJECT_DEPENDS ${SERVICE_MANIFEST})
# The shipped program's hooks, which inject nothing; each wing declares its own.
set(VARNELO_SERVICE_HOOKS
  ${CMAKE_SOURCE_DIR}/service/core/core_hooks.cpp
  ${CMAKE_SOURCE_DIR}/service/log/log_hooks.cpp
  ${CMAKE_SOURCE_DIR}/service/setup/setup_hooks.cpp
  ${CMAKE_SOURCE_DIR}/service/trust/caller_hooks.cpp
  ${CMAKE_SOURCE_DIR}/service/trust/trust_hooks.cpp
)
add_executable(VarneloService service/main.cpp ${VARNELO_SERVICE_HOOKS} ${SERVICE_RC})
target_link_options(VarneloService PRIVATE -municode)
target_link_libraries(VarneloService PRIVATE varnelo_service_lib)
varnelo_ship_stripped(VarneloService)
target_compile_options(varnelo_service_lib PRIVATE -g)

add_subdirectory(tools)

if(VARNELO_TESTS)
  include(cmake/test-signing.cmake)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  enable_testing()
  add_subdirectory(tests/win)
endif()

if(VARNELO_TESTS)
  add_subdirectory(bench)
endif()
