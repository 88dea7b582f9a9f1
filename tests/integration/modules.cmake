orvo_add_test(tst_modules_http integration/tst_modules_http.cpp LABELS integration modules TIMEOUT 240)
