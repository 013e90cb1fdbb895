# Compound files in the native build through libgsf (pkg-config libgsf-1):
# qsplex's export and import, and their test. Included from
# tools/qsplex/CMakeLists.txt after the qsplex_core target. The Win32 build uses the
# platform's own structured storage, and without libgsf the native qsplex
# builds without compound files (QSPLEX_HAVE_GSF undefined).
#
# qsplex compiles against libgsf's headers but does not link it: export and
# import load it by its soname when they first need it (gsf_library.cc), so
# that no other command pays for the start-up of glib and what it loads.
set(QSPLEX_GSF_SOURCES ${CMAKE_CURRENT_LIST_DIR}/gsf_library.cc
                       ${CMAKE_CURRENT_LIST_DIR}/gsf_objects.cc
                       ${CMAKE_CURRENT_LIST_DIR}/gsf_storage_read.cc
                       ${CMAKE_CURRENT_LIST_DIR}/gsf_storage_write.cc
                       ${CMAKE_CURRENT_LIST_DIR}/compound_directory.cc)
if(NOT WIN32)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(GSF QUIET libgsf-1)
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

# The soname of the libgsf found, as its dynamic section gives it.
set(QSPLEX_GSF_SONAME libgsf-1.so.114)
find_library(QSPLEX_GSF_LIBRARY gsf-1 HINTS ${GSF_LIBRARY_DIRS})
if(QSPLEX_GSF_LIBRARY AND CMAKE_OBJDUMP)
  execute_process(COMMAND ${CMAKE_OBJDUMP} -p ${QSPLEX_GSF_LIBRARY}
                  OUTPUT_VARIABLE QSPLEX_GSF_DYNAMIC ERROR_QUIET)
  if(QSPLEX_GSF_DYNAMIC MATCHES "SONAME +([^ \n]+)")
    set(QSPLEX_GSF_SONAME ${CMAKE_MATCH_1})
  endif()
endif()
message(STATUS "qsplex loads ${QSPLEX_GSF_SONAME} for export and import")

target_sources(qsplex_core PRIVATE ${QSPLEX_GSF_SOURCES})
find_package(Threads REQUIRED)
target_include_directories(qsplex_core SYSTEM PRIVATE ${GSF_INCLUDE_DIRS})
target_compile_options(qsplex_core PRIVATE ${GSF_CFLAGS_OTHER})
target_link_libraries(qsplex_core PUBLIC ${CMAKE_DL_LIBS} Threads::Threads)
target_compile_definitions(qsplex_core PUBLIC QSPLEX_HAVE_GSF=1
                           PRIVATE G_DISABLE_CAST_CHECKS)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/gsf_library.cc
  PROPERTIES COMPILE_DEFINITIONS
  "QSPLEX_GSF_SONAME=\"${QSPLEX_GSF_SONAME}\";QSPLEX_GSF_VERSION=\"${GSF_VERSION}\"")

if(QSS_BUILD_TESTS)
  find_program(QSS_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  find_program(QSS_PYTHON3 python3)
  add_executable(qsplex_gsf_tests
    ${CMAKE_CURRENT_LIST_DIR}/gsf_library_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/gsf_storage_test.cc
    ${PROJECT_SOURCE_DIR}/tests/test_main.cc)
  target_link_libraries(qsplex_gsf_tests PRIVATE qsplex_core qss_test_support)
  target_include_directories(qsplex_gsf_tests SYSTEM PRIVATE ${GSF_INCLUDE_DIRS})
  target_compile_definitions(qsplex_gsf_tests PRIVATE G_DISABLE_CAST_CHECKS
    QSS_PYTHON3="${QSS_PYTHON3}"
    QSS_OLEFILE_DUMP="${CMAKE_CURRENT_LIST_DIR}/olefile_dump.py")
  add_test(NAME qsplex_gsf_tests COMMAND qsplex_gsf_tests)
  # The tool itself neither links libgsf or glib nor refers to their symbols.
  add_test(NAME qsplex_gsf_not_linked
           COMMAND ${CMAKE_READELF} -d --dyn-syms -W $<TARGET_FILE:qsplex>)
  set_tests_properties(qsplex_gsf_not_linked PROPERTIES FAIL_REGULAR_EXPRESSION
    "library: \\[lib(gsf|glib|gobject)|UND (g|gsf|libgsf)_[a-z]")
endif()
