orvo_add_test(tst_system_http ${CMAKE_CURRENT_LIST_DIR}/tst_system_http.cpp
  ${CMAKE_CURRENT_LIST_DIR}/smtpsserver.cpp ${CMAKE_CURRENT_LIST_DIR}/smtpsserver.h
  TIMEOUT 600)
