orvo_add_test(tst_modbuslib ${CMAKE_CURRENT_LIST_DIR}/tst_modbuslib.cpp TIMEOUT 120)
orvo_add_test(tst_modbusengine_conn ${CMAKE_CURRENT_LIST_DIR}/tst_modbusengine_conn.cpp TIMEOUT 180)
