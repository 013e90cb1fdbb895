# The reliability driver's sources: the reference model, the operation
# table and the runner. reliability/CMakeLists.txt compiles them once into
# qss_reliability_driver for the tests; fuzz/CMakeLists.txt compiles its own
# copy for the sequence fuzzer.
set(QSS_RELIABILITY_DRIVER_SOURCES
    arguments.cc copy_ops.cc driver.cc enum_ops.cc export_ops.cc model.cc
    object_ops.cc observe.cc operations.cc ops.cc run_state.cc stat_ops.cc
    storage_ops.cc stream_ops.cc)
list(TRANSFORM QSS_RELIABILITY_DRIVER_SOURCES
     PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
