# Board-command playback: building one sample message, play-to-upload
# latency on loopback WiFi, CPU of an idle connection. Run inside scripts/netns.
trv_add_bench(board_bench ${CMAKE_CURRENT_LIST_DIR}/board_bench.cpp)
target_link_libraries(board_bench PRIVATE vest_emulator)
