# Debian packages, one per component: the two programs and our camera library.
# `cpack` in a build folder writes them, for the architecture of that build.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VENDOR "LCD display team")
set(CPACK_PACKAGE_CONTACT "lcd-display@localhost")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# glibc 2.34 is the newest symbol version the builds use; armhf builds call libgcc_s.
set(RUNTIME_DEPENDS "libc6 (>= 2.34), libgcc-s1")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_COMPONENTS_ALL camera_lcd jpeg_fb)
if(NOT CAMERA_LIBRARY) # the board brings its own library otherwise
  list(APPEND CPACK_COMPONENTS_ALL camera_library)
endif()

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()

set(CPACK_DEBIAN_CAMERA_LCD_PACKAGE_NAME camera-lcd)
set(CPACK_DEBIAN_CAMERA_LCD_PACKAGE_DEPENDS "${RUNTIME_DEPENDS}, libjpeg62-turbo (>= 1:2.0)")
set(CPACK_COMPONENT_CAMERA_LCD_DESCRIPTION "Live camera picture on an 800x480 framebuffer LCD")
if(NOT CAMERA_LIBRARY)
  set(CPACK_COMPONENT_CAMERA_LCD_DEPENDS camera_library)
endif()

set(CPACK_DEBIAN_JPEG_FB_PACKAGE_NAME jpeg-fb)
set(CPACK_DEBIAN_JPEG_FB_PACKAGE_DEPENDS "${RUNTIME_DEPENDS}, libjpeg62-turbo (>= 1:2.0)")
set(CPACK_COMPONENT_JPEG_FB_DESCRIPTION "Shows a JPEG file on the Linux framebuffer")

set(CPACK_DEBIAN_CAMERA_LIBRARY_PACKAGE_NAME libapi-v4l2-arm)
set(CPACK_DEBIAN_CAMERA_LIBRARY_PACKAGE_DEPENDS "${RUNTIME_DEPENDS}")
set(CPACK_COMPONENT_CAMERA_LIBRARY_DESCRIPTION "MJPEG capture from a V4L2 camera for camera_lcd")

include(CPack)
