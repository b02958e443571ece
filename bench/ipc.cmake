# Where the runtime stands among the IPC a user might pick: ipc_bench. The
# gRPC and D-Bus peers are built when their development files are found
# (scripts/bootstrap installs them); the program runs without them.
add_executable(ipc_bench ${CMAKE_CURRENT_LIST_DIR}/ipc_bench.cpp)
target_link_libraries(ipc_bench PRIVATE hidlbenchenv benchmark::benchmark)
target_compile_options(ipc_bench PRIVATE ${TWINEL_WARNINGS})
add_dependencies(ipc_bench bench_server hwservicemanager)

find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(TWBENCH_GRPC QUIET IMPORTED_TARGET grpc++ protobuf)
    pkg_check_modules(TWBENCH_SDBUS QUIET IMPORTED_TARGET libsystemd)
endif()
find_program(TWBENCH_PROTOC protoc)
find_program(TWBENCH_GRPC_PLUGIN grpc_cpp_plugin)

if(TWBENCH_GRPC_FOUND AND TWBENCH_PROTOC AND TWBENCH_GRPC_PLUGIN)
    set(gen ${CMAKE_CURRENT_BINARY_DIR}/ipc_peer)
    set(proto ${CMAKE_CURRENT_LIST_DIR}/ipc_peer.proto)
    add_custom_command(
        OUTPUT ${gen}/ipc_peer.pb.cc ${gen}/ipc_peer.pb.h
               ${gen}/ipc_peer.grpc.pb.cc ${gen}/ipc_peer.grpc.pb.h
        COMMAND ${CMAKE_COMMAND} -E make_directory ${gen}
        COMMAND ${TWBENCH_PROTOC} --proto_path=${CMAKE_CURRENT_LIST_DIR}
                --cpp_out=${gen} --grpc_out=${gen}
                --plugin=protoc-gen-grpc=${TWBENCH_GRPC_PLUGIN} ${proto}
        DEPENDS ${proto}
        COMMENT "protoc ipc_peer.proto")
    # Generated code: compiled without the project's warning flags.
    add_library(twbench_grpc_peer STATIC
        ${CMAKE_CURRENT_LIST_DIR}/grpc_peer.cpp
        ${gen}/ipc_peer.pb.cc ${gen}/ipc_peer.grpc.pb.cc)
    target_include_directories(twbench_grpc_peer SYSTEM PUBLIC ${gen})
    target_include_directories(twbench_grpc_peer PUBLIC ${CMAKE_CURRENT_LIST_DIR})
    target_compile_definitions(twbench_grpc_peer PUBLIC TWINEL_BENCH_GRPC=1)
    target_link_libraries(twbench_grpc_peer PUBLIC PkgConfig::TWBENCH_GRPC)
    target_link_libraries(ipc_bench PRIVATE twbench_grpc_peer)
else()
    message(STATUS "gRPC or protoc not found: ipc_bench is built without its gRPC peer")
endif()

if(TWBENCH_SDBUS_FOUND)
    target_sources(ipc_bench PRIVATE ${CMAKE_CURRENT_LIST_DIR}/sdbus_peer.cpp)
    target_compile_definitions(ipc_bench PRIVATE TWINEL_BENCH_SDBUS=1)
    target_link_libraries(ipc_bench PRIVATE PkgConfig::TWBENCH_SDBUS)
else()
    message(STATUS "libsystemd not found: ipc_bench is built without its D-Bus peer")
endif()

add_test(NAME bench_smoke_ipc
    COMMAND ipc_bench --benchmark_min_time=0.01 --benchmark_color=false)
set_tests_properties(bench_smoke_ipc PROPERTIES LABELS bench TIMEOUT 60)
