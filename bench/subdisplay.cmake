# The sub display's frame path against memcpy and raw writes on the same
# hidraw socket.
add_executable(subdisplay_bench ${CMAKE_CURRENT_LIST_DIR}/subdisplay_bench.cpp)
target_link_libraries(subdisplay_bench PRIVATE twinel_impl twsim twtestutil benchmark::benchmark)
target_compile_options(subdisplay_bench PRIVATE ${TWINEL_WARNINGS})
add_dependencies(subdisplay_bench twinel_service hwservicemanager)
add_test(NAME bench_smoke_subdisplay
    COMMAND subdisplay_bench --benchmark_min_time=0.01 --benchmark_color=false)
set_tests_properties(bench_smoke_subdisplay PROPERTIES LABELS bench TIMEOUT 60)
