orvo_add_test(tst_spine ${CMAKE_CURRENT_LIST_DIR}/tst_spine.cpp TIMEOUT 300)
orvo_add_test(tst_gate ${CMAKE_CURRENT_LIST_DIR}/tst_gate.cpp TIMEOUT 120)
