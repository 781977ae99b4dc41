# SPDX-License-Identifier: MIT
# The sound module of the voice SDK client library. Included by sdk/client (and by the sound
# tests); sets VOICESDK_SOUND_SOURCES and VOICESDK_SOUND_LIBS for the library target.
option(VOICESDK_WITH_PORTAUDIO "Offer PortAudio's sound systems besides the virtual one" ON)

set(_sound_dir ${CMAKE_CURRENT_LIST_DIR})

# Everything but the C API layer, which needs the library core; the tests build these directly.
set(VOICESDK_SOUND_CORE_SOURCES
    ${_sound_dir}/audioio.h
    ${_sound_dir}/ringbuffer.h
    ${_sound_dir}/resampler.h
    ${_sound_dir}/resampler.cpp
    ${_sound_dir}/soundsystem.h
    ${_sound_dir}/soundconfig.h
    ${_sound_dir}/soundconfig.cpp
    ${_sound_dir}/virtualdevices.h
    ${_sound_dir}/virtualdevices.cpp
    ${_sound_dir}/soundmanager.h
    ${_sound_dir}/soundmanager.cpp)

if(NOT TARGET voicesdk_sound_deps)
  add_library(voicesdk_sound_deps INTERFACE)
  target_include_directories(voicesdk_sound_deps INTERFACE ${_sound_dir}
                             ${_sound_dir}/../../include)
  target_link_libraries(voicesdk_sound_deps INTERFACE Qt5::Core Threads::Threads)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(OPUS REQUIRED IMPORTED_TARGET GLOBAL opus)
  pkg_check_modules(SPEEXDSP REQUIRED IMPORTED_TARGET GLOBAL speexdsp)
  target_link_libraries(voicesdk_sound_deps INTERFACE PkgConfig::OPUS PkgConfig::SPEEXDSP)
  if(VOICESDK_WITH_PORTAUDIO)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(PORTAUDIO REQUIRED IMPORTED_TARGET GLOBAL portaudio-2.0)
    pkg_check_modules(ALSA IMPORTED_TARGET GLOBAL alsa)
    target_compile_definitions(voicesdk_sound_deps INTERFACE VOICESDK_WITH_PORTAUDIO=1)
    target_link_libraries(voicesdk_sound_deps INTERFACE PkgConfig::PORTAUDIO)
    if(ALSA_FOUND)
      # Only to keep ALSA's probing messages off stderr.
      target_compile_definitions(voicesdk_sound_deps INTERFACE VOICESDK_HAVE_ALSA=1)
      target_link_libraries(voicesdk_sound_deps INTERFACE PkgConfig::ALSA)
    endif()
  else()
    target_compile_definitions(voicesdk_sound_deps INTERFACE VOICESDK_WITH_PORTAUDIO=0)
  endif()
endif()

if(VOICESDK_WITH_PORTAUDIO)
  list(APPEND VOICESDK_SOUND_CORE_SOURCES ${_sound_dir}/portaudiosystem.h
       ${_sound_dir}/portaudiosystem.cpp)
endif()

# The voice path needs the library core (flags, logging) besides the devices.
set(VOICESDK_SOUND_SOURCES ${VOICESDK_SOUND_CORE_SOURCES} ${_sound_dir}/sound.h
    ${_sound_dir}/soundapi.cpp ${_sound_dir}/voiceengine.h ${_sound_dir}/voiceengine.cpp)
set(VOICESDK_SOUND_LIBS voicesdk_sound_deps)
