# SPDX-License-Identifier: MIT
# Sound tests. tst_sound_devices builds the sound module's sources directly to reach its C++
# side (devices, files, values); tst_sound goes through the C API of the client library.
include(${CMAKE_CURRENT_LIST_DIR}/../../sdk/client/sound/sound.cmake)

meeting_add_test(NAME tst_sound_devices
                 SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_sound_devices.cpp ${VOICESDK_SOUND_CORE_SOURCES}
                 LIBRARIES voicesdk_sound_deps Qt5::Core
                 TIMEOUT 60)

if(VOICESDK_WITH_PORTAUDIO)
  meeting_add_test(NAME tst_sound_portaudio
                   SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_sound_portaudio.cpp
                           ${VOICESDK_SOUND_CORE_SOURCES}
                   LIBRARIES voicesdk_sound_deps Qt5::Core
                   TIMEOUT 60)
endif()

if(TARGET VoiceSdk::client)
  meeting_add_test(NAME tst_sound
                   SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_sound.cpp
                           ${CMAKE_CURRENT_LIST_DIR}/../../sdk/cli/soundcommands.h
                           ${CMAKE_CURRENT_LIST_DIR}/../../sdk/cli/soundcommands.cpp
                   LIBRARIES VoiceSdk::client Qt5::Core
                   TIMEOUT 60)
  target_include_directories(tst_sound PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../../sdk/cli)
endif()
