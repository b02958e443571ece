# hidl_interface(<fqname> ROOT <root-name> DIR <dir> [DEPS <target>...]
#                [EXTRA_ROOTS <name:path>...] [TARGET <var>])
#
# Runs hidl-gen at build time on the .hal files of one package and builds the
# generated proxy, stub and passthrough code into a shared library named as on
# Android (e.g. "vendor.zyr.hardware.twinel@1.0.so"). The CMake target name is
# the fqname with '@' replaced by '-'.

set(HIDL_GEN_ROOTS
    "-r" "vendor.zyr.hardware:${PROJECT_SOURCE_DIR}/interfaces"
    "-r" "android.hidl:${PROJECT_SOURCE_DIR}/host/hidl/interfaces")

function(hidl_interface FQNAME)
    cmake_parse_arguments(ARG "" "DIR" "DEPS" ${ARGN})
    string(REPLACE "@" "-" target "${FQNAME}")
    string(REGEX MATCH "^(.*)@([0-9]+)\\.([0-9]+)$" _m "${FQNAME}")
    set(pkg "${CMAKE_MATCH_1}")
    set(major "${CMAKE_MATCH_2}")
    set(minor "${CMAKE_MATCH_3}")
    string(REPLACE "." "/" pkgpath "${pkg}")
    set(gendir "${CMAKE_BINARY_DIR}/hidl-gen")
    set(outdir "${gendir}/${pkgpath}/${major}.${minor}")

    file(GLOB hals "${ARG_DIR}/*.hal")
    set(sources "")
    set(headers "")
    foreach(hal ${hals})
        get_filename_component(name "${hal}" NAME_WE)
        if(name STREQUAL "types")
            list(APPEND sources "${outdir}/types.cpp")
            list(APPEND headers "${outdir}/types.h" "${outdir}/hwtypes.h")
        else()
            string(SUBSTRING "${name}" 1 -1 base)
            list(APPEND sources "${outdir}/${base}All.cpp")
            list(APPEND headers "${outdir}/${name}.h" "${outdir}/IHw${base}.h"
                    "${outdir}/Bn${base}.h" "${outdir}/Bp${base}.h" "${outdir}/Bs${base}.h")
            # Interfaces are named I<Base>; the Hw headers use BnHw/BpHw.
            list(REMOVE_ITEM headers "${outdir}/Bn${base}.h" "${outdir}/Bp${base}.h")
            list(APPEND headers "${outdir}/BnHw${base}.h" "${outdir}/BpHw${base}.h")
        endif()
    endforeach()

    add_custom_command(
        OUTPUT ${sources} ${headers}
        COMMAND "${PROJECT_SOURCE_DIR}/cmake/hidl-gen-once-more" ${HIDL_GEN} -o "${gendir}" -Lc++
                ${HIDL_GEN_ROOTS} "${FQNAME}"
        DEPENDS ${hals} ${HIDL_GEN}
        COMMENT "hidl-gen ${FQNAME}"
        VERBATIM)

    add_library(${target} SHARED ${sources})
    set_target_properties(${target} PROPERTIES
        OUTPUT_NAME "${FQNAME}" PREFIX "" LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/lib")
    target_include_directories(${target} PUBLIC "${gendir}")
    # Generated code is not ours: warnings stay on but never fail the build.
    target_compile_options(${target} PRIVATE -Wno-error -Wno-unused-parameter
        -Wno-unused-variable -Wno-unused-but-set-variable)
    target_link_libraries(${target} PUBLIC hidlbase ${ARG_DEPS})
endfunction()
