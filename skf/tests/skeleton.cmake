# The public header compiles as C and as C++ with the standard's record sizes.
add_library(brio_skf_header_c OBJECT ${CMAKE_CURRENT_LIST_DIR}/header_check.c)
target_include_directories(brio_skf_header_c PRIVATE ${CMAKE_SOURCE_DIR})
set_target_properties(brio_skf_header_c PROPERTIES C_STANDARD 11 C_EXTENSIONS OFF)
