# Install rules for both programs, both simulators, their desktop entries and icons; CPack .deb.
set(_pkg_dir ${CMAKE_CURRENT_LIST_DIR})

# Programs built in other folders; each is installed once its folder defines it.
foreach(_t busprobe Ormet-Master modbus-slave-sim ormet-meter-sim)
  if(TARGET ${_t})
    install(TARGETS ${_t} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

foreach(_app busprobe:busprobe Ormet-Master:ormet-master)
  string(REPLACE ":" ";" _pair ${_app})
  list(GET _pair 0 _target)
  list(GET _pair 1 _name)
  if(TARGET ${_target})
    install(FILES ${_pkg_dir}/${_name}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${_pkg_dir}/icons/${_name}.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  endif()
endforeach()

install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME busprobe-suite)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "busprobe developers")
set(CPACK_PACKAGE_CONTACT "busprobe developers <busprobe@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Modbus RTU debugging assistant and energy meter master")
set(CPACK_PACKAGE_DESCRIPTION
  "busprobe sends Modbus RTU requests (01H-06H, 10H or free-form hex) on a serial port, logs\n"
  "every block as hexadecimal text and decodes read replies. Ormet-Master polls, configures and\n"
  "calibrates one model of energy meter. Includes modbus-slave-sim and ormet-meter-sim, which\n"
  "serve a simulated slave and meter on a pseudo-terminal for trying the tools without hardware.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from dpkg-shlibdeps; the windows' Chinese texts need a CJK font.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wqy-zenhei | fonts-noto-cjk")
include(CPack)
