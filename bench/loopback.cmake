# Audio-to-haptics against a PulseAudio server of its own and the emulated
# vest; the server fixture is the tests' own.
trv_add_bench(loopback_bench loopback/loopback_bench.cpp
              ${CMAKE_SOURCE_DIR}/tests/support/pulse_daemon.cpp ${CMAKE_SOURCE_DIR}/tests/support/temp_dir.cpp)
target_include_directories(loopback_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(loopback_bench PRIVATE vest_emulator)
