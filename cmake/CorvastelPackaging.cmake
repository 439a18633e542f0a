# Installing and packaging the app: `cmake --install` and `cpack -G DEB` (from a build folder,
# release preset recommended: cmake --preset release && cmake --build --preset release &&
# (cd build/release && cpack -G DEB)).
#
# The package holds the program, its desktop entry, its icon, and its copyright file and changelog
# under /usr/share/doc. An installed program keeps its nicknames and settings in the user's
# configuration folder (NicknameFile.h: decided by where it is installed, so also when root runs it).

if(NOT CORVASTEL_WITH_QT OR NOT TARGET corvastel-pc)
  return()
endif()

include(GNUInstallDirs)

install(TARGETS corvastel-pc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT app)

if(UNIX AND NOT APPLE)
  # Desktop entry, in the version of the desktop entry format that desktop-file-validate (Debian 12)
  # accepts. One product name wherever a user meets one: the menu entry carries the name the
  # message boxes are titled with; what it does follows in the generic name.
  set(corvastel_desktop_file ${CMAKE_CURRENT_BINARY_DIR}/packaging/corvastel-pc.desktop)
  file(WRITE ${corvastel_desktop_file}
    "[Desktop Entry]\n"
    "Type=Application\n"
    "Version=1.0\n"
    "Name=CorvastelPcApp\n"
    "GenericName=Keyboard and mouse for another computer\n"
    "GenericName[zh_CN]=Corvastel® 仿真键鼠\n"
    "Comment=Type and point on a second computer through a Corvastel Bluetooth LE dongle\n"
    "Comment[zh_CN]=通过 Corvastel 蓝牙适配器在另一台电脑上使用本机键盘和鼠标\n"
    "Exec=corvastel-pc\n"
    "Icon=corvastel-pc\n"
    "Terminal=false\n"
    "Categories=Utility;\n"
    "Keywords=Bluetooth;keyboard;mouse;KVM;HID;\n"
    "StartupNotify=true\n"
    "StartupWMClass=CorvastelPcApp\n")
  install(FILES ${corvastel_desktop_file} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT app)
  if(CORVASTEL_BUILD_TESTS)
    find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
    if(DESKTOP_FILE_VALIDATE)
      add_test(NAME desktop_entry_validates COMMAND ${DESKTOP_FILE_VALIDATE} ${corvastel_desktop_file})
      # The validator passes an entry with warnings: none are wanted either.
      set_tests_properties(desktop_entry_validates PROPERTIES LABELS unit FAIL_REGULAR_EXPRESSION "error|warning")
    endif()
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/src/app/pictures/corvastel-pc.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT app)

  # Debian's places: /usr/share/doc/<package>/copyright as it is, the changelog compressed.
  set(corvastel_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/corvastel-pc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog @ONLY)
  file(ARCHIVE_CREATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
       PATHS ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog FORMAT raw COMPRESSION GZip)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${corvastel_doc_dir} COMPONENT app)
endif()

set(CPACK_PACKAGE_NAME "corvastel-pc")
set(CPACK_PACKAGE_VENDOR "Corvastel")
set(CPACK_PACKAGE_CONTACT "Corvastel PC developers <corvastel-pc@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CorvastelPcApp: type and point on a second computer through a Corvastel Bluetooth LE dongle")
# One string: CMake would join several with ";".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "CorvastelPcApp finds Corvastel dongles over Bluetooth LE, connects to one or more of them and,\n\
while keyboard-and-mouse pass-through is on, forwards this computer's keyboard and mouse to the\n\
computer each dongle is plugged into. On Linux it captures input through X11 in an X11 session;\n\
in a Wayland session (or without a display server) it reads the kernel's input devices (evdev),\n\
which needs the user in the input group.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL app)
set(CPACK_DEB_COMPONENT_INSTALL OFF)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The shared libraries come from dpkg-shlibdeps; these are loaded at run time and it cannot see
# them: the X11 platform plugin, a font for the Chinese captions, the keyboard layouts and the
# dead-key table that typing a text reads.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-wqy-microhei | fonts-noto-cjk, xkb-data, libx11-data")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bluez")

include(CPack)
