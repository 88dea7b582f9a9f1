orvo_add_test(tst_modulesmngr unit/tst_modulesmngr.cpp LABELS unit modules TIMEOUT 60)
orvo_add_test(tst_updates unit/tst_updates.cpp LABELS unit modules TIMEOUT 180)
