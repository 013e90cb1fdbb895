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

# Names in the export table ("[   0] Name" rows, not "+base" ones) and in
# the import table ("<hint-rva> <hint> Name" rows), as objdump -p prints them.
execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE dump
                COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^+\n][^\n]*" rows "${dump}")
set(exported)
foreach(row IN LISTS rows)
  string(REGEX REPLACE ".*\\] " "" name "${row}")
  list(APPEND exported ${name})
endforeach()
execute_process(COMMAND ${OBJDUMP} -p ${program} OUTPUT_VARIABLE dump
                COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "\n\t[0-9a-f]+\t +[0-9]+  [^\n]+" rows "${dump}")
set(imported)
foreach(row IN LISTS rows)
  string(REGEX REPLACE ".*[0-9]  " "" name "${row}")
  list(APPEND imported ${name})
endforeach()
list(SORT exported)
list(SORT imported)
if(NOT imported STREQUAL exported)
  message(FATAL_ERROR "imports: ${imported}\nexports: ${exported}")
endif()

execute_process(COMMAND ${RUNNER} ${program} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${program} exited with ${result}")
endif()
