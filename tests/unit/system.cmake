orvo_add_test(tst_systemfun ${CMAKE_CURRENT_LIST_DIR}/tst_systemfun.cpp TIMEOUT 300)
orvo_add_test(tst_email ${CMAKE_CURRENT_LIST_DIR}/tst_email.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../integration/smtpsserver.cpp ${CMAKE_CURRENT_LIST_DIR}/../integration/smtpsserver.h
  TIMEOUT 300)
