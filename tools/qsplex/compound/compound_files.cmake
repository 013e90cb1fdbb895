# Compound files in the native build through libgsf (pkg-config libgsf-1):
# qsplex's export and import, and their test. Included from
# tools/qsplex/CMakeLists.txt after the qsplex_core target. The Win32 build uses the
# platform's own structured storage, and without libgsf the native qsplex
# builds without compound files (QSPLEX_HAVE_GSF undefined).
set(QSPLEX_GSF_SOURCES ${CMAKE_CURRENT_LIST_DIR}/gsf_objects.cc
                       ${CMAKE_CURRENT_LIST_DIR}/gsf_storage_read.cc
                       ${CMAKE_CURRENT_LIST_DIR}/gsf_storage_write.cc
                       ${CMAKE_CURRENT_LIST_DIR}/compound_directory.cc)
if(NOT WIN32)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(GSF QUIET IMPORTED_TARGET libgsf-1)
  endif()
endif()

if(NOT GSF_FOUND)
  if(NOT WIN32)
    message(STATUS "libgsf-1 not found: qsplex builds without compound files")
  endif()
  set_source_files_properties(${QSPLEX_GSF_SOURCES} PROPERTIES
                              HEADER_FILE_ONLY ON)
  return()
endif()

target_sources(qsplex_core PRIVATE ${QSPLEX_GSF_SOURCES})
find_package(Threads REQUIRED)
target_link_libraries(qsplex_core PUBLIC PkgConfig::GSF Threads::Threads)
target_compile_definitions(qsplex_core PUBLIC QSPLEX_HAVE_GSF=1)

if(QSS_BUILD_TESTS)
  find_program(QSS_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  find_program(QSS_PYTHON3 python3)
  add_executable(qsplex_gsf_tests
    ${CMAKE_CURRENT_LIST_DIR}/gsf_storage_test.cc
    ${PROJECT_SOURCE_DIR}/tests/test_main.cc)
  target_link_libraries(qsplex_gsf_tests PRIVATE qsplex_core qss_test_support)
  target_compile_definitions(qsplex_gsf_tests PRIVATE
    QSS_PYTHON3="${QSS_PYTHON3}"
    QSS_OLEFILE_DUMP="${CMAKE_CURRENT_LIST_DIR}/olefile_dump.py")
  add_test(NAME qsplex_gsf_tests COMMAND qsplex_gsf_tests)
endif()
