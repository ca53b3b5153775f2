# The program and the library that the process tests install into their device root.
add_executable(qrx_process_child ${CMAKE_CURRENT_LIST_DIR}/process_child.cpp)
target_link_libraries(qrx_process_child PRIVATE qrx_winmain)

add_library(qrx_process_lib SHARED ${CMAKE_CURRENT_LIST_DIR}/process_child.cpp)
target_compile_definitions(qrx_process_lib PRIVATE QRX_PROCESS_TEST_LIBRARY)
target_link_libraries(qrx_process_lib PRIVATE qrx_platform)
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/process_lib_strings.txt CONTENT "1=Library string\n")
qrx_add_resources(qrx_process_lib STRINGS ${CMAKE_CURRENT_BINARY_DIR}/process_lib_strings.txt)

add_dependencies(qrx_platform_tests qrx_process_child qrx_process_lib)
target_compile_definitions(qrx_platform_tests PRIVATE
  QRX_PROCESS_CHILD="$<TARGET_FILE:qrx_process_child>"
  QRX_PROCESS_LIB="$<TARGET_FILE:qrx_process_lib>")
