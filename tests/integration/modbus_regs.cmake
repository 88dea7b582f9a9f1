orvo_add_test(modbus_regs_tcp ${CMAKE_CURRENT_LIST_DIR}/tst_modbus_regs_tcp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/modbus_regs_support.h TIMEOUT 300)
orvo_add_test(modbus_regs_rtu ${CMAKE_CURRENT_LIST_DIR}/tst_modbus_regs_rtu.cpp
  ${CMAKE_CURRENT_LIST_DIR}/modbus_regs_support.h TIMEOUT 300)
