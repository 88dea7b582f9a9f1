# Desktop install and the Debian package.
#
# Layout below the prefix (/usr for the package, /usr/local by default):
#   lib/orvo/            orvo, Orvo_admin, config.ini, www/, the catalogues
#   bin/orvo             a link to lib/orvo/orvo
#   share/applications/orvo.desktop
#   share/icons/hicolor/64x64/apps/orvo.png
#
# The program folder is read-only for users; Orvo then works from a per-user
# copy of config.ini and www/ and keeps reading its catalogues beside the
# executable.

set(ORVO_INSTALL_APPDIR "lib/orvo" CACHE STRING "Program folder, relative to the install prefix")
if(IS_ABSOLUTE "${ORVO_INSTALL_APPDIR}")
  message(FATAL_ERROR "ORVO_INSTALL_APPDIR must be relative to the install prefix")
endif()

install(TARGETS orvo RUNTIME DESTINATION ${ORVO_INSTALL_APPDIR})
# The elevated copy is the same program under the name the hand-over starts.
install(PROGRAMS $<TARGET_FILE:orvo> DESTINATION ${ORVO_INSTALL_APPDIR} RENAME Orvo_admin)

install(FILES ${CMAKE_SOURCE_DIR}/config.ini DESTINATION ${ORVO_INSTALL_APPDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/www/ DESTINATION ${ORVO_INSTALL_APPDIR}/www)
if(EXISTS ${CMAKE_SOURCE_DIR}/node_modules/uplot/dist)
  install(FILES ${CMAKE_SOURCE_DIR}/node_modules/uplot/dist/uPlot.iife.min.js
                ${CMAKE_SOURCE_DIR}/node_modules/uplot/dist/uPlot.min.css
          DESTINATION ${ORVO_INSTALL_APPDIR}/www/lib/uplot)
endif()

get_property(orvo_catalogues GLOBAL PROPERTY ORVO_CATALOGUES)
install(FILES ${orvo_catalogues} DESTINATION ${ORVO_INSTALL_APPDIR})

get_property(orvo_icon GLOBAL PROPERTY ORVO_TRAY_ICON)
install(FILES ${orvo_icon} DESTINATION share/icons/hicolor/64x64/apps RENAME orvo.png)

# The menu entry starts the program through bin/, which is on the search path
# for the usual prefixes (/usr, /usr/local).
set(orvo_desktop_entry "[Desktop Entry]
Type=Application
Name=Orvo
GenericName=Modbus device companion
GenericName[de]=Modbus-Gerätebegleiter
GenericName[es]=Asistente para equipos Modbus
GenericName[pl]=Asystent urządzeń Modbus
Comment=Configure and read Modbus measuring devices from the web browser
Comment[de]=Modbus-Messgeräte im Webbrowser einrichten und auslesen
Comment[es]=Configurar y leer equipos de medida Modbus desde el navegador
Comment[pl]=Konfiguracja i odczyt urządzeń pomiarowych Modbus w przeglądarce
Exec=orvo
Icon=orvo
Terminal=false
Categories=Development;Electronics;
Keywords=Modbus;RTU;TCP;serial;meter;
StartupNotify=false
")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/orvo.desktop CONTENT "${orvo_desktop_entry}")
install(FILES ${CMAKE_BINARY_DIR}/orvo.desktop DESTINATION share/applications)

file(RELATIVE_PATH orvo_link_target /prefix/bin /prefix/${ORVO_INSTALL_APPDIR}/orvo)
install(CODE "
  set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/orvo\")
  message(STATUS \"Installing: \${link} -> ${orvo_link_target}\")
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
  file(CREATE_LINK \"${orvo_link_target}\" \"\${link}\" SYMBOLIC)
")

# cpack -G DEB
set(CPACK_PACKAGE_NAME orvo)
set(CPACK_PACKAGE_VENDOR Brask)
set(CPACK_PACKAGE_CONTACT "Brask <support@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop companion for Modbus measuring devices")
set(CPACK_PACKAGE_DESCRIPTION "Orvo sits in the system tray and serves a local web application on 127.0.0.1 \
through which measuring devices are configured and read over Modbus RTU (serial) or Modbus TCP.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6 (>= 2.36), libstdc++6 (>= 12), libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), \
libqt6network6 (>= 6.4), libqt6serialport6 (>= 6.4), libqt6printsupport6 (>= 6.4), qt6-qpa-plugins (>= 6.4), \
libmodbus5 (>= 3.1.6), libcpp-httplib0.11, curl, xdg-utils, pkexec, fonts-dejavu-core")
include(CPack)
