# Test builds beside uninstall.exe, for both architectures: the tests run the shipped i686 program
# as well as the x86_64 one, each with its own. Never part of a release.

# The uninstaller as the tests run it to see a copy changed before it is held; its fault switch is
# built only into this program, never into uninstall.exe.
add_executable(uninstall_faults WIN32 ${CMAKE_SOURCE_DIR}/uninstaller/main.cpp
               ${CMAKE_SOURCE_DIR}/tools/uninstaller_fault_hooks.cpp
               ${CMAKE_BINARY_DIR}/uninstaller/uninstall.rc)
target_link_options(uninstall_faults PRIVATE -municode)
target_link_libraries(uninstall_faults PRIVATE uninstaller_lib)
add_dependencies(uninstall_faults uninstall)  # its resources need the packed skin archive

# A DLL that records being loaded, planted where a careless program would load it from.
add_library(canary_dll SHARED ${CMAKE_SOURCE_DIR}/tools/canary_dll.cpp)
set_target_properties(canary_dll PROPERTIES OUTPUT_NAME canary PREFIX "")
# Without these a 32-bit DLL imports libgcc_s_dw2-1.dll, which no prefix has.
target_link_options(canary_dll PRIVATE -static -static-libgcc -static-libstdc++)
