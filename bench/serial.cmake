# The AT channel against a bare exchange on the same pty.
add_executable(serial_bench ${CMAKE_CURRENT_LIST_DIR}/serial_bench.cpp)
target_link_libraries(serial_bench PRIVATE twinel_impl twsim twtestutil benchmark::benchmark)
target_compile_options(serial_bench PRIVATE ${TWINEL_WARNINGS})
add_test(NAME bench_smoke_serial
    COMMAND serial_bench --benchmark_min_time=0.01 --benchmark_color=false)
set_tests_properties(bench_smoke_serial PROPERTIES LABELS bench TIMEOUT 60)
