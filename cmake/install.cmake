# Where `cmake --install` puts the installer, and the .deb that CPack makes of the same tree.
# The program itself lives out of the PATH; the launcher on the PATH starts it in its data folder,
# where its pictures are found by their relative paths.
include(GNUInstallDirs)

set(QUILLORA_APP_ID com.quillora.Installer)
set(_program_dir ${CMAKE_INSTALL_LIBEXECDIR}/quillora-installer)
set(_data_dir ${CMAKE_INSTALL_DATADIR}/quillora-installer)
set(_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/quillora-installer)

install(TARGETS quillora-installer quillora-installer-window RUNTIME DESTINATION ${_program_dir})
install(DIRECTORY imgs DESTINATION ${_data_dir})

# The launcher finds the program and the pictures relative to itself.
file(RELATIVE_PATH LAUNCHER_TO_DATA /${CMAKE_INSTALL_BINDIR} /${_data_dir})
file(RELATIVE_PATH LAUNCHER_TO_PROGRAM /${CMAKE_INSTALL_BINDIR} /${_program_dir}/quillora-installer)
configure_file(src/launcher.in launcher/quillora-installer @ONLY)
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/launcher/quillora-installer
        DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES data/${QUILLORA_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/${QUILLORA_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size 48x48 128x128 256x256)
  install(FILES data/icons/${size}/${QUILLORA_APP_ID}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}/apps)
endforeach()

# The manual pages and the changelog go compressed, without names or dates inside, so that two
# builds give the same bytes. The Chinese page keeps the English page's name in its own folder,
# where man(1) finds it for a Chinese locale, and gets the break points between its characters
# that groff needs to break its lines (tools/zh_breaks.cpp).
find_program(GZIP gzip REQUIRED)
if(CMAKE_CROSSCOMPILING)
  # A build for another machine makes the tool for this one, with this machine's compiler, so
  # that it runs here with no emulator.
  find_program(HOST_CXX NAMES c++ g++ REQUIRED NO_CMAKE_FIND_ROOT_PATH)
  add_custom_command(OUTPUT zh_breaks
    COMMAND ${HOST_CXX} -std=c++17 -O2 -o zh_breaks ${PROJECT_SOURCE_DIR}/tools/zh_breaks.cpp
    DEPENDS tools/zh_breaks.cpp VERBATIM)
  set(_zh_breaks ${CMAKE_CURRENT_BINARY_DIR}/zh_breaks)
else()
  add_executable(zh_breaks tools/zh_breaks.cpp)
  set(_zh_breaks zh_breaks)
endif()
foreach(file data/quillora-installer.1 data/quillora-installer.zh_CN.1 packaging/changelog)
  get_filename_component(_name ${file} NAME)
  set(_source ${PROJECT_SOURCE_DIR}/${file})
  set(_breaks)
  set(_depends ${file})
  if(_name STREQUAL "quillora-installer.zh_CN.1")
    set(_breaks COMMAND ${_zh_breaks} ${_source} ${_name})
    set(_source ${CMAKE_CURRENT_BINARY_DIR}/${_name})
    list(APPEND _depends ${_zh_breaks})
  endif()
  add_custom_command(OUTPUT ${_name}.gz ${_breaks}
    COMMAND sh -c "${GZIP} -9n < '${_source}' > '${_name}.gz'"
    DEPENDS ${_depends} VERBATIM)
  list(APPEND _compressed ${CMAKE_CURRENT_BINARY_DIR}/${_name}.gz)
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${_compressed})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillora-installer.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillora-installer.zh_CN.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/zh_CN/man1 RENAME quillora-installer.1.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz packaging/copyright DESTINATION ${_doc_dir})

# The Debian package: one binary package, its library dependencies found by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillora-installer)
set(CPACK_PACKAGE_VENDOR Quillora)
set(CPACK_PACKAGE_CONTACT "Quillora <packages@quillora.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "registers the Quillora add-on with the office suite")
# CPack puts the summary first and indents these lines, an empty one becoming " .".
set(CPACK_PACKAGE_DESCRIPTION "A small window with an install and an uninstall button that adds the online
Quillora add-on to the user's add-on list of the office suite, or takes it out
again. The list is only ever replaced whole, so it is never lost or left half
written.

Administrators can run the same edits without a window or a display
(--install, --uninstall, --status, --list), and roll the add-on out to many
users.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://quillora.com)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's texts are Chinese, and a fresh system may have no font to draw them with: its
# notice would read "□□□□!". The library dependencies found are added after this one.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
