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
