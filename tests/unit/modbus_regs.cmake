orvo_add_test(registercodec ${CMAKE_CURRENT_LIST_DIR}/tst_registercodec.cpp)
# The same cases where the user's locale writes a decimal comma.
add_test(NAME registercodec_de COMMAND registercodec)
set_tests_properties(registercodec_de PROPERTIES TIMEOUT 60
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=de_DE.UTF-8;ORVO_EXPECT_DECIMAL_COMMA=1")
