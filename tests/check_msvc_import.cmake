# Builds tests/msvc_import_caller.c for the MSVC ABI with clang and links it
# with lld-link against the import library qsstorage.lib alone. The program
# must import exactly the names the DLL exports (Wine would load it even
# with a name missing, and fail only at the call), and it must run beside
# the DLL.
#   cmake -DCLANG= -DLLD_LINK= -DOBJDUMP= -DSOURCE= -DIMPORT_LIBRARY=
#         -DLIBRARY= -DRUNNER= -P check_msvc_import.cmake
get_filename_component(dir ${LIBRARY} DIRECTORY)
set(object ${dir}/msvc_import_caller.obj)
set(program ${dir}/msvc_import_caller.exe)
execute_process(COMMAND ${CLANG} --target=i686-pc-windows-msvc -O1 -Wall
                        -c ${SOURCE} -o ${object}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${LLD_LINK} /nologo /nodefaultlib /entry:start
                        /subsystem:console /out:${program} ${object}
                        ${IMPORT_LIBRARY}
                COMMAND_ERROR_IS_FATAL ANY)

# The names in the rows of `objdump -p file` that match `row`, with what
# matches `lead` cut off each, sorted.
function(table_names file row lead out)
  execute_process(COMMAND ${OBJDUMP} -p ${file} OUTPUT_VARIABLE dump
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "${row}" rows "${dump}")
  set(names)
  foreach(line IN LISTS rows)
    string(REGEX REPLACE "${lead}" "" name "${line}")
    list(APPEND names ${name})
  endforeach()
  list(SORT names)
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# Export rows read "[   0] Name" (not the "+base" ones), import rows
# "<hint-rva> <hint>  Name".
table_names(${LIBRARY} "\n\t\\[ *[0-9]+\\] [^+\n][^\n]*" ".*\\] " exported)
table_names(${program} "\n\t[0-9a-f]+\t +[0-9]+  [^\n]+" ".*[0-9]  " imported)
if(NOT imported STREQUAL exported)
  message(FATAL_ERROR "imports: ${imported}\nexports: ${exported}")
endif()

execute_process(COMMAND ${RUNNER} ${program} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${program} exited with ${result}")
endif()
