# Resources compiled into the platform tests, and a library with a table of its own.
set(_data ${CMAKE_CURRENT_LIST_DIR}/data)
qrx_add_resources(qrx_platform_tests
  RCDATA 1 ${_data}/res_blob.bin
         Named.Blob ${_data}/res_module_blob.bin
  BITMAP 3 ${_data}/res_image.bmp
         5 ${_data}/res_short.bmp
  STRINGS ${_data}/res_strings.txt)

add_library(qrx_res_module SHARED ${_data}/ResModule.cpp)
target_link_libraries(qrx_res_module PRIVATE qrx_platform)
qrx_add_resources(qrx_res_module
  RCDATA 1 ${_data}/res_module_blob.bin
  STRINGS ${_data}/res_module_strings.txt)

add_dependencies(qrx_platform_tests qrx_res_module)
target_compile_definitions(qrx_platform_tests PRIVATE
  QRX_RES_MODULE_PATH="$<TARGET_FILE:qrx_res_module>"
  QRX_RES_TEST_DATA="${_data}")
