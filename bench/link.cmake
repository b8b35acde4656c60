# Device link: CRC cost, WiFi round trip against the vest emulator, CPU of
# idle transports. Run inside scripts/netns.
trv_add_bench(link_bench ${CMAKE_CURRENT_LIST_DIR}/link_bench.cpp)
target_link_libraries(link_bench PRIVATE vest_emulator)
