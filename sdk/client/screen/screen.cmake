# SPDX-License-Identifier: MIT
# What live screens link: XCB with the extensions capture and input need, libvpx for the video,
# libyuv for the colours. Included by sdk/client (and by benches that measure the codec).
if(NOT TARGET voicesdk_screen_deps)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SCREEN_X11 REQUIRED IMPORTED_TARGET GLOBAL xcb xcb-shm xcb-damage xcb-xfixes
                    xcb-xtest xcb-randr)
  pkg_check_modules(VPX REQUIRED IMPORTED_TARGET GLOBAL vpx)
  # libyuv comes without a pkg-config file.
  find_path(LIBYUV_INCLUDE_DIR libyuv.h REQUIRED)
  find_library(LIBYUV_LIBRARY yuv REQUIRED)
  add_library(voicesdk_screen_deps INTERFACE)
  target_include_directories(voicesdk_screen_deps INTERFACE ${LIBYUV_INCLUDE_DIR})
  target_link_libraries(voicesdk_screen_deps INTERFACE PkgConfig::SCREEN_X11 PkgConfig::VPX
                        ${LIBYUV_LIBRARY})
  add_library(VoiceSdk::screen ALIAS voicesdk_screen_deps)
endif()
