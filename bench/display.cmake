# setBrightness against a slow accessory, over the transport (included from
# bench/CMakeLists.txt). Run by hand with `display_bench`; ctest only checks
# that it runs (label "bench").
add_executable(display_bench ${CMAKE_CURRENT_LIST_DIR}/display_bench.cpp)
target_link_libraries(display_bench PRIVATE vendor.zyr.hardware.twinel-1.1 twsim twtestutil
                      benchmark::benchmark)
target_compile_options(display_bench PRIVATE ${TWINEL_WARNINGS})
add_dependencies(display_bench hwservicemanager twinel_service)

add_test(NAME bench_smoke_display
    COMMAND display_bench --benchmark_min_time=0.05 --benchmark_color=false)
set_tests_properties(bench_smoke_display PROPERTIES LABELS bench TIMEOUT 60)
