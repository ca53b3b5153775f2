# A second program of the device for the font tests: it holds a font while its stdin is open.
add_executable(qrx_font_helper ${CMAKE_CURRENT_LIST_DIR}/font_helper.cpp)
target_link_libraries(qrx_font_helper PRIVATE qrx_platform)
add_dependencies(qrx_platform_tests qrx_font_helper)
target_compile_definitions(qrx_platform_tests PRIVATE QRX_FONT_HELPER="$<TARGET_FILE:qrx_font_helper>")
