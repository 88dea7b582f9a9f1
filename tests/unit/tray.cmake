# The tray menu, in-process on the offscreen platform. It reads the catalogues
# the build lays out beside the executable.
orvo_add_test(tray_test ${CMAKE_CURRENT_LIST_DIR}/tray/tst_traymenu.cpp TIMEOUT 120)
target_compile_definitions(tray_test PRIVATE ORVO_CATALOGUE_DIR="${CMAKE_BINARY_DIR}")
add_dependencies(tray_test tray_catalogues)
