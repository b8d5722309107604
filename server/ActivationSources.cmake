# Display mode choice, display activation and the framebuffer driver client, in library server.
target_sources(server PRIVATE
    ClientHandshakeWrapper.h
    FramebufferDriverClient.cpp
    ScreenServerActivation.cpp
    ScreenServerModeChoice.cpp
    SupportedResolutions.cpp)
target_link_libraries(server PUBLIC platform_appkit platform_coregraphics_display platform_iokit)

# The bundle resource read on every choice, copied beside the test programs that read it.
set(TESSEL_SUPPORTED_RESOLUTIONS ${CMAKE_CURRENT_SOURCE_DIR}/Resources/SupportedResolutions.plist)

tessel_test(server_activation_tests
    SOURCES tests/FramebufferDriverClientTests.cpp tests/DisplayModeChoiceTests.cpp tests/DisplayActivationTests.cpp
    LIBS server platform_iokit_inprocess platform_daemon_testing)
add_dependencies(server_activation_tests QNVideoCard QNFramebuffer)
target_compile_definitions(server_activation_tests PRIVATE
    TESSEL_KEXT_DIR="${CMAKE_BINARY_DIR}/Extensions"
    TESSEL_SUPPORTED_RESOLUTIONS="${TESSEL_SUPPORTED_RESOLUTIONS}")

# The activation road end to end: platformd with both kexts, activation_road, the reference client.
tessel_test(server_activation_road_tests INTEGRATION LOCKS protocol_ports TIMEOUT 300
    SOURCES tests/DisplayActivationRoadTests.cpp
    LIBS refclient_lib tessel_foundation platform_daemon_testing platform_windowserver platform_corefoundation platform_ipc)
add_dependencies(server_activation_road_tests activation_road platformd QNVideoCard QNFramebuffer)
target_compile_definitions(server_activation_road_tests PRIVATE ACTIVATION_ROAD_PATH="$<TARGET_FILE:activation_road>")

# activation_road, the session's test host (made further down this directory), activates for
# real with the driver client; beside it, the resolutions file its main bundle (its folder) reads.
cmake_language(DEFER CALL target_sources activation_road PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests/ActivationRoadDriver.cpp)
configure_file(${TESSEL_SUPPORTED_RESOLUTIONS} ${CMAKE_CURRENT_BINARY_DIR}/SupportedResolutions.plist COPYONLY)
