# Where everything goes on `cmake --install` and in the Debian package, in one place.
#
#   <prefix>/bin/                    tessaline-capture, -reg, -probe, -sim, and a link
#                                    tessaline-setup -> ../lib/tessaline/tessaline-setup
#   <prefix>/lib/tessaline/          tessaline-setup and Tessaline.ax side by side: the
#                                    program loads the filter from its own folder, which
#                                    /proc/self/exe gives with the link resolved
#   <prefix>/lib/systemd/user/       tessaline-capture.service
#   /etc/xdg/autostart/              tessaline-capture.desktop (sessions without systemd)
#   <prefix>/share/tessaline/        bare no-signal image names are looked up here
#   <prefix>/share/applications, icons/hicolor, metainfo, man/man1, bash-completion
#
# Included from the top CMakeLists.txt after every folder, so all targets exist. Targets
# a partial build leaves out are skipped.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
include(GNUInstallDirs)

set(TESSALINE_APP_ID com.teluvo.Tessaline)
set(TESSALINE_PRIVATE_DIR lib/tessaline)
set(TESSALINE_DATA_DIR ${CMAKE_INSTALL_DATADIR}/tessaline)
set(TESSALINE_DIST_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(TESSALINE_DIST_OUT ${PROJECT_BINARY_DIR}/packaging)

# The system image folder the options code resolves bare names against.
if(TARGET tessaline_options)
  target_compile_definitions(tessaline_options PUBLIC
    TESSALINE_SYSTEM_IMAGE_FOLDER="${CMAKE_INSTALL_FULL_DATADIR}/tessaline")
endif()

# Everything installed; scripts/package builds this target only.
add_custom_target(installables)

if(TARGET tessaline-setup)
  install(TARGETS tessaline-setup RUNTIME DESTINATION ${TESSALINE_PRIVATE_DIR})
  install(CODE "
    set(_bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(MAKE_DIRECTORY \"\${_bin}\")
    message(STATUS \"Installing: \${_bin}/tessaline-setup -> ../${TESSALINE_PRIVATE_DIR}/tessaline-setup\")
    file(CREATE_LINK ../${TESSALINE_PRIVATE_DIR}/tessaline-setup \"\${_bin}/tessaline-setup\" SYMBOLIC)")
  add_dependencies(installables tessaline-setup)
endif()
if(TARGET tessaline_filter)
  install(TARGETS tessaline_filter LIBRARY DESTINATION ${TESSALINE_PRIVATE_DIR})
  add_dependencies(installables tessaline_filter)
endif()
foreach(_program tessaline-capture tessaline-reg tessaline-probe tessaline-sim)
  if(TARGET ${_program})
    install(TARGETS ${_program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    add_dependencies(installables ${_program})
  endif()
endforeach()

# Icons in the hicolor theme and the no-signal bitmap, drawn by the artwork program.
if(TARGET tessaline-artwork)
  set(_art ${TESSALINE_DIST_OUT}/artwork)
  set(_icon_sizes 16 22 24 32 48 64 128 256)
  set(_art_files ${_art}/icons/hicolor/scalable/apps/${TESSALINE_APP_ID}.svg ${_art}/no-signal.bmp)
  foreach(_size IN LISTS _icon_sizes)
    list(APPEND _art_files ${_art}/icons/hicolor/${_size}x${_size}/apps/${TESSALINE_APP_ID}.png)
  endforeach()
  add_custom_command(OUTPUT ${_art_files}
    COMMAND tessaline-artwork --desktop ${_art} ${TESSALINE_APP_ID} ${_icon_sizes}
    DEPENDS tessaline-artwork
    COMMENT "Drawing the desktop icons and the no-signal bitmap")
  add_custom_target(desktop-artwork ALL DEPENDS ${_art_files})
  add_dependencies(installables desktop-artwork)
  install(DIRECTORY ${_art}/icons DESTINATION ${CMAKE_INSTALL_DATADIR})
  install(FILES ${_art}/no-signal.bmp DESTINATION ${TESSALINE_DATA_DIR})
endif()

# Manual pages: docs/man/<program>.<section>.scd through scdoc, compressed.
find_program(TESSALINE_SCDOC scdoc)
file(GLOB _man_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.scd)
if(TESSALINE_SCDOC AND _man_sources)
  set(_man_pages)
  foreach(_source IN LISTS _man_sources)
    get_filename_component(_page ${_source} NAME_WLE)  # tessaline-reg.1
    string(REGEX REPLACE "^(.*)\\.([1-8])$" "\\1" _program ${_page})
    string(REGEX REPLACE "^.*\\.([1-8])$" "\\1" _section ${_page})
    if(NOT TARGET ${_program})
      continue()  # a program this build leaves out
    endif()
    set(_out ${TESSALINE_DIST_OUT}/man/${_page}.gz)
    add_custom_command(OUTPUT ${_out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${TESSALINE_DIST_OUT}/man
      COMMAND sh -c [["$0" < "$1" | gzip -9n > "$2"]] ${TESSALINE_SCDOC} ${_source} ${_out}
      DEPENDS ${_source}
      COMMENT "Writing the manual page ${_page}"
      VERBATIM)
    list(APPEND _man_pages ${_out})
    install(FILES ${_out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section})
  endforeach()
  add_custom_target(man ALL DEPENDS ${_man_pages})
  add_dependencies(installables man)
elseif(_man_sources)
  message(STATUS "scdoc not found: no manual pages (scripts/bootstrap installs it)")
endif()

# Desktop entry, AppStream metadata, the user service and its autostart entry.
configure_file(${TESSALINE_DIST_DIR}/tessaline-capture.service.in
               ${TESSALINE_DIST_OUT}/tessaline-capture.service @ONLY)
configure_file(${TESSALINE_DIST_DIR}/tessaline-capture.desktop.in
               ${TESSALINE_DIST_OUT}/tessaline-capture.desktop @ONLY)
configure_file(${TESSALINE_DIST_DIR}/${TESSALINE_APP_ID}.metainfo.xml.in
               ${TESSALINE_DIST_OUT}/${TESSALINE_APP_ID}.metainfo.xml @ONLY)
install(FILES ${TESSALINE_DIST_DIR}/${TESSALINE_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${TESSALINE_DIST_OUT}/${TESSALINE_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
if(TARGET tessaline-capture)
  install(FILES ${TESSALINE_DIST_OUT}/tessaline-capture.service DESTINATION lib/systemd/user)
  install(FILES ${TESSALINE_DIST_OUT}/tessaline-capture.desktop DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart)
endif()
foreach(_program tessaline-capture tessaline-reg tessaline-probe tessaline-sim)
  if(TARGET ${_program})
    install(FILES ${TESSALINE_DIST_DIR}/tessaline.bash-completion
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${_program})
  endif()
endforeach()
install(FILES ${TESSALINE_DIST_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
configure_file(${TESSALINE_DIST_DIR}/changelog.in ${TESSALINE_DIST_OUT}/changelog @ONLY)
set(_changelog ${TESSALINE_DIST_OUT}/changelog.gz)
add_custom_command(OUTPUT ${_changelog}
  COMMAND sh -c [[gzip -9n < "$0" > "$1"]] ${TESSALINE_DIST_OUT}/changelog ${_changelog}
  DEPENDS ${TESSALINE_DIST_OUT}/changelog
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${_changelog})
add_dependencies(installables changelog)
install(FILES ${_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package (scripts/package): tessaline_<version>_<arch>.deb, its
# dependencies read from the binaries by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessaline)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Teluvo)
set(CPACK_PACKAGE_CONTACT "Tessaline developers <tessaline@teluvo.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "setup utility and capture service for Tessaline network video grabbers")
# CPack puts the summary first and indents every line of the long description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Tessaline appliances capture a VGA or DVI signal and serve it over Ethernet.
tessaline-setup keeps the list of grabbers, finds new ones on the local
networks, shows their state and a preview picture, and edits their capture
options. tessaline-capture publishes every registered grabber as a camera
to PipeWire. tessaline-reg, tessaline-probe and tessaline-sim are
command-line tools for the settings store, a single device, and a simulator
of appliances for trying the utility without hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://tessaline.example/)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire, xdg-utils, fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_STRIP_FILES ON)
if(TARGET tessaline-capture)
  file(WRITE ${TESSALINE_DIST_OUT}/conffiles
       "${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart/tessaline-capture.desktop\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TESSALINE_DIST_OUT}/conffiles)
endif()
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/package)
include(CPack)

# The install test checks what `cmake --install` puts down, so everything must be built.
if(TARGET test_package)
  add_dependencies(test_package installables)
endif()
