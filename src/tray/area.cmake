# The tray: its icon compiled into the program, and the translation catalogues
# laid out beside the executable, where the tray looks them up.

# A resource attached to a static library travels as an object library, so its
# registration is linked into every program that uses orvocore (the executable
# and the tests) without any Q_INIT_RESOURCE call.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/images/tray_icon2.png
  PROPERTIES QT_RESOURCE_ALIAS tray_icon2)
qt_add_resources(orvocore tray_images
  PREFIX /images
  FILES ${CMAKE_CURRENT_LIST_DIR}/images/tray_icon2.png)

set(ORVO_TRAY_LANGUAGES es de pl)

# Our own catalogues, compiled from src/tray/translations/kesto_<lang>.ts.
set(orvo_tray_ts "")
foreach(lang ${ORVO_TRAY_LANGUAGES})
  set(ts ${CMAKE_CURRENT_LIST_DIR}/translations/kesto_${lang}.ts)
  set_source_files_properties(${ts} PROPERTIES OUTPUT_LOCATION ${CMAKE_BINARY_DIR})
  list(APPEND orvo_tray_ts ${ts})
endforeach()
# After a menu text changes: cmake --build build --target orvo_lupdate
qt_add_lupdate(orvo TS_FILES ${orvo_tray_ts} NO_GLOBAL_TARGET
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/traymenu.cpp ${CMAKE_CURRENT_LIST_DIR}/traymenu.h
  INCLUDE_DIRECTORIES ${CMAKE_CURRENT_SOURCE_DIR}
  OPTIONS -no-obsolete -locations none)
qt_add_lrelease(orvo TS_FILES ${orvo_tray_ts} NO_GLOBAL_TARGET
  LRELEASE_OPTIONS -silent
  QM_FILES_OUTPUT_VARIABLE orvo_tray_qm)

# Qt's own catalogues: qt_<lang>.qm is only a list of further catalogues
# (qtbase_<lang>.qm, ...), and it fails to load unless every one of them sits in
# the same folder. The list is read from the installed file itself.
set(orvo_qt_translations_dir /usr/share/qt6/translations)
if(TARGET Qt6::lconvert)
  get_target_property(orvo_lconvert Qt6::lconvert IMPORTED_LOCATION)
endif()
set(orvo_qt_qm "")
foreach(lang ${ORVO_TRAY_LANGUAGES})
  set(catalogues qt_${lang})
  if(orvo_lconvert AND EXISTS ${orvo_qt_translations_dir}/qt_${lang}.qm)
    execute_process(COMMAND ${orvo_lconvert} -i ${orvo_qt_translations_dir}/qt_${lang}.qm -of ts
      OUTPUT_VARIABLE listing ERROR_QUIET)
    string(REGEX MATCHALL "catalog=\"[A-Za-z0-9_]+\"" deps "${listing}")
    foreach(dep ${deps})
      string(REGEX REPLACE "catalog=\"([A-Za-z0-9_]+)\"" "\\1" dep "${dep}")
      list(APPEND catalogues ${dep})
    endforeach()
  else()
    list(APPEND catalogues qtbase_${lang})
  endif()
  foreach(cat ${catalogues})
    set(src ${orvo_qt_translations_dir}/${cat}.qm)
    if(NOT EXISTS ${src})
      message(WARNING "Qt catalogue ${src} is missing (package qt6-translations-l10n); the tray's dialogs stay in English")
      continue()
    endif()
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${cat}.qm
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${src} ${CMAKE_BINARY_DIR}/${cat}.qm
      DEPENDS ${src} VERBATIM)
    list(APPEND orvo_qt_qm ${CMAKE_BINARY_DIR}/${cat}.qm)
  endforeach()
endforeach()

add_custom_target(tray_catalogues ALL DEPENDS ${orvo_qt_qm})
add_dependencies(tray_catalogues orvo_lrelease)
add_dependencies(orvo tray_catalogues)

# For the install rules and the tests.
set_property(GLOBAL PROPERTY ORVO_CATALOGUES ${orvo_tray_qm} ${orvo_qt_qm})
set_property(GLOBAL PROPERTY ORVO_TRAY_ICON ${CMAKE_CURRENT_LIST_DIR}/images/tray_icon2.png)
