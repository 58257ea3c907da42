# Real Authenticode signatures for the tests, with certificates made per build.
set(VARNELO_CERT_DIR ${CMAKE_BINARY_DIR}/signing)
add_custom_command(
  OUTPUT ${VARNELO_CERT_DIR}/publisher.pem ${VARNELO_CERT_DIR}/stray.pem
  COMMAND ${CMAKE_SOURCE_DIR}/cmake/make-test-certs.sh ${VARNELO_CERT_DIR}
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/make-test-certs.sh
  COMMENT "Making throwaway test certificates")
add_custom_target(test_certificates DEPENDS ${VARNELO_CERT_DIR}/publisher.pem)

# varnelo_signed_copy(<target> <identity> <output path relative to bin/>)
# Adds a build step that writes a signed (or deliberately broken) copy of a target's program.
set(VARNELO_SIGNED_OUTPUTS "" CACHE INTERNAL "")
function(varnelo_signed_copy target identity relative)
  set(output ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${relative})
  get_filename_component(dir ${output} DIRECTORY)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_SOURCE_DIR}/cmake/sign-file.sh ${VARNELO_CERT_DIR} ${identity}
            $<TARGET_FILE:${target}> ${output}
    DEPENDS ${target} ${VARNELO_CERT_DIR}/publisher.pem ${CMAKE_SOURCE_DIR}/cmake/sign-file.sh
    COMMENT "Signing ${relative} (${identity})")
  set(VARNELO_SIGNED_OUTPUTS ${VARNELO_SIGNED_OUTPUTS} ${output} CACHE INTERNAL "")
endfunction()

# Signs a target in place after every link, as a release build is. Debug sections (the libraries
# it shares with the shipped programs are built with -g) are dropped first: every caller check
# hashes the whole file, so a test client keeps the size of a real client.
function(varnelo_sign_in_place target)
  add_dependencies(${target} test_certificates)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --strip-debug $<TARGET_FILE:${target}>
    COMMAND ${CMAKE_SOURCE_DIR}/cmake/sign-file.sh ${VARNELO_CERT_DIR} publisher
            $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>
    COMMENT "Signing $<TARGET_FILE_NAME:${target}>")
endfunction()
