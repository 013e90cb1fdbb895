# `qsplex report`: the page's script, style and template are files in page/,
# embedded into qsplex_core as string constants when it is built.
set(qsplex_page_dir ${CMAKE_CURRENT_LIST_DIR}/page)
set(qsplex_page_files ${qsplex_page_dir}/report.html
    ${qsplex_page_dir}/report.css ${qsplex_page_dir}/treemap.js
    ${qsplex_page_dir}/report.js)
set(qsplex_page_cc ${CMAKE_CURRENT_BINARY_DIR}/report_page_text.cc)
add_custom_command(
  OUTPUT ${qsplex_page_cc}
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${qsplex_page_cc}
          "-DNAMES=kReportHtml\;kReportCss\;kTreemapJs\;kReportJs"
          "-DFILES=${qsplex_page_dir}/report.html\;${qsplex_page_dir}/report.css\;${qsplex_page_dir}/treemap.js\;${qsplex_page_dir}/report.js"
          -P ${CMAKE_CURRENT_LIST_DIR}/embed.cmake
  DEPENDS ${qsplex_page_files} ${CMAKE_CURRENT_LIST_DIR}/embed.cmake
  COMMENT "Embedding the report page")
target_sources(qsplex_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/report_data.cc
  ${CMAKE_CURRENT_LIST_DIR}/report_page.cc
  ${CMAKE_CURRENT_LIST_DIR}/../commands/report.cc
  ${qsplex_page_cc})

# The pages in a real browser: headless Chromium driven by Playwright
# (tests/browser; scripts/setup.sh installs Debian's chromium and node, and
# the test installs playwright-core from its lock file into the build
# folder). Natively only: the Win32 build's pages are compared with these
# byte for byte by tests/qsplex_test.py --cross.
if(QSS_BUILD_TESTS)
  target_sources(qsplex_unit_tests PRIVATE
                 ${CMAKE_CURRENT_LIST_DIR}/report_data_test.cc)
endif()
if(QSS_BUILD_TESTS AND NOT WIN32)
  add_executable(qsplex_wide_tree ${PROJECT_SOURCE_DIR}/tests/browser/wide_tree.cc)
  target_link_libraries(qsplex_wide_tree PRIVATE qsplex_core)
  find_program(QSS_NODE node)
  if(QSS_NODE)
    add_test(NAME qsplex_report_browser
             COMMAND ${QSS_NODE} ${PROJECT_SOURCE_DIR}/tests/browser/report_test.mjs
                     --qsplex $<TARGET_FILE:qsplex>
                     --wide-tree $<TARGET_FILE:qsplex_wide_tree>
                     --deps ${CMAKE_BINARY_DIR}/browser
                     --out ${CMAKE_BINARY_DIR}/test-output/report)
    # 77: no Chromium here; the test says so.
    set_tests_properties(qsplex_report_browser PROPERTIES SKIP_RETURN_CODE 77
                         TIMEOUT 900)
  endif()
endif()
