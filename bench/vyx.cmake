# The VYX-fx engine alone (it links no part of the SDK).
add_executable(vyx_bench vyx/vyx_bench.cpp ${CMAKE_SOURCE_DIR}/bench/alloc_counter.cpp)
target_include_directories(vyx_bench PRIVATE ${CMAKE_SOURCE_DIR}/bench)
target_link_libraries(vyx_bench PRIVATE vyxfx benchmark::benchmark)
