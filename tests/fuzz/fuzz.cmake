# Fuzz targets: tests/fuzz/fuzz_<name>.cpp, each with its kept inputs in
# tests/fuzz/corpus/<name>/.
#
# Every build replays the kept inputs through each target as an ordinary test
# (fuzz_replay_<name>). Configured with -DORVO_FUZZ=ON and clang, the build also
# makes the libFuzzer executables fuzz_<name>, and orvocore is compiled with the
# coverage instrumentation they feed on; bench/fuzz.sh runs them.

option(ORVO_FUZZ "Build the libFuzzer targets (clang only)" OFF)

set(ORVO_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
file(GLOB ORVO_FUZZ_TARGETS CONFIGURE_DEPENDS ${ORVO_FUZZ_DIR}/fuzz_*.cpp)

if(ORVO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ORVO_FUZZ needs clang: CC=clang CXX=clang++ cmake -S . -B build-fuzz -DORVO_FUZZ=ON -DBUILD_TESTING=ON")
  endif()
  set(ORVO_FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g)
  target_compile_options(orvocore PRIVATE ${ORVO_FUZZ_FLAGS})
  # Everything that links the instrumented library needs the sanitizer runtimes.
  target_link_options(orvocore INTERFACE -fsanitize=address,undefined)
endif()

add_library(orvofuzzsupport STATIC ${ORVO_FUZZ_DIR}/fuzzsupport.cpp ${ORVO_FUZZ_DIR}/fuzzsupport.h)
target_include_directories(orvofuzzsupport PUBLIC ${ORVO_FUZZ_DIR})
target_link_libraries(orvofuzzsupport PUBLIC orvocore)
if(ORVO_FUZZ)
  target_compile_options(orvofuzzsupport PRIVATE ${ORVO_FUZZ_FLAGS})
endif()

foreach(source ${ORVO_FUZZ_TARGETS})
  get_filename_component(stem ${source} NAME_WE)
  string(REGEX REPLACE "^fuzz_" "" name ${stem})

  add_executable(fuzz_replay_${name} ${source} ${ORVO_FUZZ_DIR}/replay_main.cpp)
  target_link_libraries(fuzz_replay_${name} PRIVATE orvofuzzsupport)
  if(ORVO_FUZZ)
    target_compile_options(fuzz_replay_${name} PRIVATE ${ORVO_FUZZ_FLAGS})
  endif()
  add_test(NAME fuzz_replay_${name} COMMAND fuzz_replay_${name} ${ORVO_FUZZ_DIR}/corpus/${name})
  set_tests_properties(fuzz_replay_${name} PROPERTIES
    TIMEOUT 300
    LABELS fuzz
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8")

  if(ORVO_FUZZ)
    add_executable(fuzz_${name} ${source})
    target_link_libraries(fuzz_${name} PRIVATE orvofuzzsupport)
    target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  endif()
endforeach()
