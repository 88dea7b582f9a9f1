orvo_add_test(tst_faults ${CMAKE_CURRENT_LIST_DIR}/tst_faults.cpp
  ${CMAKE_CURRENT_LIST_DIR}/smtpsserver.cpp ${CMAKE_CURRENT_LIST_DIR}/smtpsserver.h
  ${CMAKE_SOURCE_DIR}/tests/fixtures/modbus_slave.h
  TIMEOUT 900)
