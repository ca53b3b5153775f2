# A second program of the device for the named-object tests: it holds a name while its stdin is open.
add_executable(qrx_named_helper ${CMAKE_CURRENT_LIST_DIR}/named_helper.cpp)
target_link_libraries(qrx_named_helper PRIVATE qrx_platform)
add_dependencies(qrx_platform_tests qrx_named_helper)
target_compile_definitions(qrx_platform_tests PRIVATE QRX_NAMED_HELPER="$<TARGET_FILE:qrx_named_helper>")
