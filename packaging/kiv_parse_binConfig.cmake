# find_package(kiv_parse_bin CONFIG): the imported target kiv_parse_bin::kiv_parse_bin.
include("${CMAKE_CURRENT_LIST_DIR}/kiv_parse_binTargets.cmake")
