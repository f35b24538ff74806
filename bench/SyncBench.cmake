# std::counting_semaphore, one of the context variants, needs C++20; the library stays C++17.
set_target_properties(SyncBench PROPERTIES CXX_STANDARD 20)
