# Lists the functions a shared library defines and compares them with the
# library's exports.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(found)
foreach(line IN LISTS lines)
  if(line MATCHES " [TW] ([A-Za-z_][A-Za-z0-9_@]*)$")
    set(name ${CMAKE_MATCH_1})
    if(NOT name MATCHES "^_(init|fini)$")
      list(APPEND found ${name})
    endif()
  endif()
endforeach()
list(SORT found)
set(expected DelObjectStorage GetObjectStorage GetRootIStorage
    QSStrg_ClearRootStorage QSStrg_RestoreRefCounts RenObjectStorage)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exports: ${found}\nexpected: ${expected}")
endif()
