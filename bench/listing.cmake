# Listing benchmarks (built on request only, never run by CTest); bench/listing_bench.sh builds and
# runs them. They drive the built module through its exports, as a host does.
add_executable(tarn_listing_bench EXCLUDE_FROM_ALL listing_bench.cpp)
target_link_libraries(tarn_listing_bench PRIVATE tarn_host_loader)
add_dependencies(tarn_listing_bench tarnfs)
if(WIN32)
  target_link_libraries(tarn_listing_bench PRIVATE psapi)
endif()
