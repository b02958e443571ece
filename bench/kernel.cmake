# LPWG wake-event latency: simulator uevent -> service (its own process) ->
# the 1.1 callback in the benchmark's process, against a raw datagram round
# trip. Run by hand with `kernel_bench`; ctest only checks that it runs.
add_executable(kernel_bench ${CMAKE_CURRENT_LIST_DIR}/kernel_bench.cpp)
target_link_libraries(kernel_bench PRIVATE ${V}.twinel-1.1 twsim twtestutil benchmark::benchmark)
target_compile_options(kernel_bench PRIVATE ${TWINEL_WARNINGS})
add_dependencies(kernel_bench hwservicemanager twinel_service)

add_test(NAME bench_smoke_kernel
    COMMAND kernel_bench --benchmark_min_time=0.01 --benchmark_color=false)
set_tests_properties(bench_smoke_kernel PROPERTIES LABELS bench TIMEOUT 60)
