orvo_add_test(tst_workerpool ${CMAKE_CURRENT_LIST_DIR}/tst_workerpool.cpp TIMEOUT 120)
