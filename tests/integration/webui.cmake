# Browser tests of the web pages (node's test runner, playwright-core, Chromium).
find_program(ORVO_NODE node)
if(ORVO_NODE)
  set(_webui_env
    "ORVO_BINARY=$<TARGET_FILE:orvo>"
    "ORVO_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    "ORVO_BUILD_DIR=${CMAKE_BINARY_DIR}"
    "ORVO_WWW=${CMAKE_BINARY_DIR}/www"
    "ORVO_CHROMIUM=/usr/bin/chromium")
  # The pages against scripted replies, and the pages against a real Orvo and Modbus slave.
  add_test(NAME webui_pages COMMAND ${ORVO_NODE} ${CMAKE_SOURCE_DIR}/tests/e2e/run.mjs pages.test.mjs)
  add_test(NAME webui_e2e COMMAND ${ORVO_NODE} ${CMAKE_SOURCE_DIR}/tests/e2e/run.mjs webui.test.mjs)
  set_tests_properties(webui_pages webui_e2e PROPERTIES
    TIMEOUT 300
    LABELS "browser"
    SKIP_RETURN_CODE 77
    ENVIRONMENT "${_webui_env}")
endif()
