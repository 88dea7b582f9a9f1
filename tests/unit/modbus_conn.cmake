orvo_add_test(tst_modbuslib ${CMAKE_CURRENT_LIST_DIR}/tst_modbuslib.cpp TIMEOUT 120)
