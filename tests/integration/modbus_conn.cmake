orvo_add_test(tst_modbus_conn_http ${CMAKE_CURRENT_LIST_DIR}/tst_modbus_conn_http.cpp TIMEOUT 300)
