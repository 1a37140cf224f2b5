# Debian packages, one per component: the two programs, our camera library and
# the development package of the LCD drawing module.
# `cpack` in a build folder writes them, for the architecture of that build.
# What goes into them besides the programs is in packaging/ and docs/man/.
set(PACKAGE_MAINTAINER
    "Seed ca2de158 maintainers <maintainers@users.noreply.c-seed-ca2de158.example>"
    CACHE STRING "Maintainer field of the Debian packages: a name and a mail address in <>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VENDOR "LCD display team")
set(CPACK_PACKAGE_CONTACT "${PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SOURCE lcd-display)
# Strips with CMAKE_STRIP, the target's strip in a cross build.
set(CPACK_STRIP_FILES ON)
# Control files get the modes Debian wants (maintainer scripts 755, others 644).
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Depends come from dpkg-shlibdeps, from the libraries each package's programs
# load and the symbols they use, read from the target architecture's installed
# packages (multiarch). Our library is found in the build tree, or the board's
# beside CAMERA_LIBRARY; it belongs to no installed package, so it adds nothing
# (camera-lcd depends on libapi-v4l2-arm through the component instead).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CAMERA_LIBRARY)
  get_filename_component(camera_library_dir ${CAMERA_LIBRARY} DIRECTORY)
else()
  get_target_property(camera_library_dir api_v4l2_arm BINARY_DIR)
  # CPack's own run would also give the library's package postinst and postrm
  # scripts calling ldconfig, which its trigger does instead; cpack runs
  # dpkg-shlibdeps on the library through LibraryDepends.cmake.
  set(CPACK_DEBIAN_CAMERA_LIBRARY_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_LIBRARY_FILE ${camera_library_dir}/libapi_v4l2_arm.so)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/LibraryDepends.cmake)
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${camera_library_dir})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_COMPONENTS_ALL camera_lcd jpeg_fb lcd_dev)
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
set(CPACK_DEBIAN_CAMERA_LCD_PACKAGE_SECTION video)
set(CPACK_COMPONENT_CAMERA_LCD_DESCRIPTION
    "Live camera picture on an 800x480 framebuffer LCD
camera_lcd shows the MJPEG picture of the V4L2 camera /dev/video7 on the
Linux framebuffer /dev/fb0, each frame decoded with libjpeg and drawn at the
screen's top-left corner, until it is stopped. Without /dev/fb0 it draws on
the first DRM device with a connected display.

lcd_draw draws one JPEG or BMP file at a position on the same screen, over
what it shows.

The package includes a systemd unit, camera-lcd.service, that runs the live
view at boot once enabled, without root, and starts it again after a failure
such as a camera that is not there yet.")
set(CPACK_DEBIAN_CAMERA_LCD_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/camera-lcd/postinst"
    "${PROJECT_SOURCE_DIR}/packaging/camera-lcd/prerm"
    "${PROJECT_SOURCE_DIR}/packaging/camera-lcd/postrm")
if(NOT CAMERA_LIBRARY)
  set(CPACK_COMPONENT_CAMERA_LCD_DEPENDS camera_library)
endif()

set(CPACK_DEBIAN_JPEG_FB_PACKAGE_NAME jpeg-fb)
set(CPACK_DEBIAN_JPEG_FB_PACKAGE_SECTION graphics)
set(CPACK_COMPONENT_JPEG_FB_DESCRIPTION
    "Shows a JPEG file on the Linux framebuffer
jpeg_fb decodes one JPEG file with libjpeg and shows it at the top-left corner
of the Linux framebuffer /dev/fb0, clipped, in the colour layout the
framebuffer driver reports (32-, 24- and 16-bit screens).")

set(CPACK_DEBIAN_CAMERA_LIBRARY_PACKAGE_NAME libapi-v4l2-arm)
set(CPACK_DEBIAN_CAMERA_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_CAMERA_LIBRARY_DESCRIPTION
    "MJPEG capture from a V4L2 camera for camera_lcd
libapi_v4l2_arm.so opens a V4L2 camera, picks MJPEG at the largest frame size
that fits 800x480, streams through mapped buffers and hands camera_lcd one
complete JPEG frame at a time.")
set(CPACK_DEBIAN_CAMERA_LIBRARY_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/libapi-v4l2-arm/triggers")

set(CPACK_DEBIAN_LCD_DEV_PACKAGE_NAME liblcd-draw-dev)
set(CPACK_DEBIAN_LCD_DEV_PACKAGE_SECTION libdevel)
# The libraries the static library calls, whose pkg-config files lcd-draw.pc requires.
set(CPACK_DEBIAN_LCD_DEV_PACKAGE_DEPENDS "libjpeg-dev, libdrm-dev")
set(CPACK_COMPONENT_LCD_DEV_DESCRIPTION
    "LCD drawing module of camera_lcd, for programs that draw
The static library liblcd-draw.a, its header lcd_api.h and the pkg-config
file lcd-draw.pc, for C++ programs that draw on a framebuffer LCD (or, without
/dev/fb0, a DRM display) as camera_lcd does: open and map the screen, draw
JPEG images from memory or files and uncompressed 24- and 32-bit BMP files at
any position, clipped, and close it.
Build with: g++ prog.cpp $(pkg-config --cflags --libs lcd-draw)")

# Every package's changelog and copyright, and its lintian overrides if any.
set(package_files ${PROJECT_SOURCE_DIR}/packaging)
file(STRINGS ${package_files}/changelog changelog_head LIMIT_COUNT 1)
string(REPLACE "." "\\." version_pattern ${PROJECT_VERSION})
if(NOT changelog_head MATCHES "^[a-z0-9.+-]+ \\(${version_pattern}\\) ")
  message(FATAL_ERROR "packaging/changelog: the first entry is not version ${PROJECT_VERSION}")
endif()
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packaging ${CMAKE_CURRENT_BINARY_DIR}/docs/man)
set(changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(
  OUTPUT ${changelog_gz}
  COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" sh ${package_files}/changelog ${changelog_gz}
  DEPENDS ${package_files}/changelog VERBATIM)
set(compressed_docs ${changelog_gz})

set(packaged_components camera_lcd jpeg_fb camera_library lcd_dev)
foreach(component IN LISTS packaged_components)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
  install(FILES ${changelog_gz} ${package_files}/copyright DESTINATION ${doc_dir}
          COMPONENT ${component})
  if(EXISTS ${package_files}/${package}/lintian-overrides)
    install(FILES ${package_files}/${package}/lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${package}
            COMPONENT ${component})
  endif()
endforeach()

# The example that draws a logo beside the live view, where Debian keeps examples.
install(FILES ${PROJECT_SOURCE_DIR}/docs/logo_beside_view.cpp
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_LCD_DEV_PACKAGE_NAME}/examples
        COMPONENT lcd_dev)

# The systemd unit; the program's path in it is the package's, /usr/bin.
install(FILES ${package_files}/camera-lcd.service DESTINATION lib/systemd/system
        COMPONENT camera_lcd)

# Manual pages, gzip-compressed, each in the package whose program it is
# about: a page named after a component or package, or after a package's name
# and a hyphen (camera-lcd-bench.1 goes with camera-lcd), or one of the
# programs listed here with their component.
set(page_component_lcd_draw camera_lcd)
file(GLOB man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.[1-9])
foreach(page IN LISTS man_pages)
  get_filename_component(name ${page} NAME)
  string(REGEX MATCH "^(.+)\\.([1-9])$" name_and_section ${name})
  set(base ${CMAKE_MATCH_1})
  set(section ${CMAKE_MATCH_2})
  set(owner "${page_component_${base}}")
  foreach(component IN LISTS packaged_components)
    string(TOUPPER ${component} upper)
    set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    if(base STREQUAL component OR base STREQUAL package OR base MATCHES "^${package}-")
      set(owner ${component})
    endif()
  endforeach()
  if(NOT owner)
    message(FATAL_ERROR "docs/man/${name}: no package is named like it")
  endif()
  set(page_gz ${CMAKE_CURRENT_BINARY_DIR}/docs/man/${name}.gz)
  add_custom_command(
    OUTPUT ${page_gz}
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" sh ${page} ${page_gz}
    DEPENDS ${page} VERBATIM)
  list(APPEND compressed_docs ${page_gz})
  install(FILES ${page_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
          COMPONENT ${owner})
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${compressed_docs})

include(CPack)
