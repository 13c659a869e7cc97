# The query engine's benchmark (bench/benchmark.sh).
add_executable(engine_bench bench/engine_bench.cpp)
orvalen_strict(engine_bench)
target_link_libraries(engine_bench PRIVATE orvalen_portable wsock32)
