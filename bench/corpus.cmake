# The report's fields beside tshark's on capture corpora; included from
# bench/CMakeLists.txt. Not a test: bench/corpus_compare.py runs it by hand.
add_executable(corpus_frames ${CMAKE_CURRENT_LIST_DIR}/corpus_frames.cpp)
target_link_libraries(corpus_frames PRIVATE trovix_cli)
