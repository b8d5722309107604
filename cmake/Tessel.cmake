include(GoogleTest)

# Whether tests may have a network namespace of their own (root, or a machine that lets this
# user make one, with iproute2 to bring its loopback up). Tests that bind the protocol's fixed
# ports then run in one each (scripts/in-own-netns) and run side by side; otherwise they hold
# the protocol_ports lock, one at a time.
if(NOT DEFINED TESSEL_OWN_NETNS)
    find_program(TESSEL_IP_PROGRAM ip PATHS /usr/sbin /sbin)
    execute_process(COMMAND unshare -n true RESULT_VARIABLE tessel_unshare_result OUTPUT_QUIET ERROR_QUIET)
    if(tessel_unshare_result EQUAL 0 AND TESSEL_IP_PROGRAM)
        set(TESSEL_OWN_NETNS ON CACHE BOOL "Tests binding the protocol ports run in network namespaces of their own")
    else()
        set(TESSEL_OWN_NETNS OFF CACHE BOOL "Tests binding the protocol ports run in network namespaces of their own")
    endif()
endif()
set(TESSEL_IN_OWN_NETNS ${PROJECT_SOURCE_DIR}/scripts/in-own-netns)

# tessel_test(<name> SOURCES ... LIBS ... [INTEGRATION] [LOCKS lock...] [TIMEOUT s])
# One GoogleTest executable; every test case becomes its own CTest test.
function(tessel_test name)
    cmake_parse_arguments(T "INTEGRATION" "TIMEOUT" "SOURCES;LIBS;LOCKS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
    set(labels unit)
    if(T_INTEGRATION)
        set(labels integration)
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    set(props LABELS ${labels} TIMEOUT ${T_TIMEOUT})
    if("protocol_ports" IN_LIST T_LOCKS AND TESSEL_OWN_NETNS)
        # The test program (its discovery too) runs through the wrapper: no lock is needed.
        set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${TESSEL_IN_OWN_NETNS})
        list(REMOVE_ITEM T_LOCKS protocol_ports)
    endif()
    if(T_LOCKS)
        # gtest_discover_tests passes each property as one value, so a list of locks would
        # become a single lock of another name: refuse it rather than lock the wrong thing.
        list(LENGTH T_LOCKS lock_count)
        if(lock_count GREATER 1)
            message(FATAL_ERROR "tessel_test(${name}): one LOCKS name at most (${T_LOCKS})")
        endif()
        list(APPEND props RESOURCE_LOCK ${T_LOCKS})
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
