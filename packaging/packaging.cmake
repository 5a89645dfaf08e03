# Install rules and the packages made from them (.deb, .rpm, Windows .zip):
# the tool (component "tool") and, for programs that call the module, its
# static library, header, CMake package and pkg-config file ("development").
set(summary "Split a binary image into header and body at the header size it records")
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
install(TARGETS kiv_parse_bin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)

install(TARGETS kiv_parse_bin_library EXPORT kiv_parse_bin_targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES include/kiv_parse_bin.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
set(cmake_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kiv_parse_bin)
install(EXPORT kiv_parse_bin_targets NAMESPACE kiv_parse_bin:: FILE kiv_parse_binTargets.cmake
  DESTINATION ${cmake_package_dir} COMPONENT development)
write_basic_package_version_file(kiv_parse_binConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES packaging/kiv_parse_binConfig.cmake
  ${PROJECT_BINARY_DIR}/kiv_parse_binConfigVersion.cmake
  DESTINATION ${cmake_package_dir} COMPONENT development)
# pkg-config finds the prefix from where the file lies, wherever the tree is installed.
file(RELATIVE_PATH pc_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" pc_prefix "${pc_prefix}")
configure_file(packaging/kiv_parse_bin.pc.in kiv_parse_bin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kiv_parse_bin.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)
if(WIN32)
  install(FILES README.md LICENSE DESTINATION . COMPONENT tool)
  set(CPACK_GENERATOR ZIP)
else()
  # Compressed as Debian and RPM systems keep manual pages and changelogs; -n keeps the
  # files the same from build to build.
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/kiv-parse-bin)
  foreach(file man/kiv_parse_bin.1 packaging/changelog)
    get_filename_component(name ${file} NAME)
    add_custom_command(OUTPUT ${name}.gz
      COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/${file} > ${name}.gz
      DEPENDS ${file})
    list(APPEND compressed ${PROJECT_BINARY_DIR}/${name}.gz)
  endforeach()
  add_custom_target(compressed_docs ALL DEPENDS ${compressed})
  install(FILES ${PROJECT_BINARY_DIR}/kiv_parse_bin.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT tool)
  # A copy made now is newer than the last commit, so a reproducible RPM clamps its time too.
  configure_file(packaging/copyright copyright COPYONLY)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz ${PROJECT_BINARY_DIR}/copyright
    DESTINATION ${docdir} COMPONENT tool)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz ${PROJECT_BINARY_DIR}/copyright
    DESTINATION ${docdir}-dev COMPONENT development)
  set(CPACK_GENERATOR DEB RPM)
  # One package a component: kiv-parse-bin, and kiv-parse-bin-dev (RPM: -devel).
  set(CPACK_COMPONENTS_ALL tool development)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_RPM_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_TOOL_PACKAGE_NAME kiv-parse-bin)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME kiv-parse-bin-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "")
  set(CPACK_RPM_TOOL_PACKAGE_NAME kiv-parse-bin)
  set(CPACK_RPM_DEVELOPMENT_PACKAGE_NAME kiv-parse-bin-devel)
  set(CPACK_RPM_DEVELOPMENT_PACKAGE_GROUP "Development/Libraries")
  set(CPACK_RPM_DEVELOPMENT_FILE_NAME RPM-DEFAULT)
  set(CPACK_RPM_TOOL_FILE_NAME RPM-DEFAULT)
endif()
set(CPACK_PACKAGE_NAME kiv-parse-bin)  # Debian names allow no underscore
set(CPACK_PACKAGE_VENDOR "the kiv_parse_bin authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${summary})
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "kiv_parse_bin reads the header size that an image records as a 4-byte"
  "little-endian word at an offset named on the command line, writes the header"
  "and the body to two files, brings both to stable storage and only then"
  "deletes the image. It refuses outputs that would overwrite the image, paths"
  "it can't examine, and images that change during the split.")
set(CPACK_RPM_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_TOOL_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
string(JOIN "\n" CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "Library to split binary images and join files, for programs"
  "The static library, header, CMake package and pkg-config file of"
  "kiv_parse_bin's module: the split operations and the merge that joins"
  "files end to end, each ending the process with one line on a failure.")
set(CPACK_RPM_TOOL_PACKAGE_SUMMARY ${summary})
set(CPACK_RPM_DEVELOPMENT_PACKAGE_SUMMARY "Library to split binary images and join files, for programs")
set(CPACK_RPM_TOOL_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
string(JOIN "\n" CPACK_RPM_DEVELOPMENT_PACKAGE_DESCRIPTION
  "The static library, header, CMake package and pkg-config file of"
  "kiv_parse_bin's module: the split operations and the merge that joins"
  "files end to end, each ending the process with one line on a failure.")
set(CPACK_PACKAGE_CONTACT "kiv_parse_bin maintainers <maintainers@users.noreply.c-seed-d944ecb6.example>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # Debian's name for the machine, from the preset (cmake/linux-cross.cmake).
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KIV_DEBIAN_ARCH})
  set(CPACK_RPM_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "Applications/File")
# The package owns its files, not the system's folders or build-id links.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1)
# Where SOURCE_DATE_EPOCH is set (packaging/release.sh), the build time, the
# host and every file's time come from it, so two builds give one RPM.
string(JOIN "\n" CPACK_RPM_SPEC_MORE_DEFINE
  "%define _build_id_links none"
  "%define use_source_date_epoch_as_buildtime 1"
  "%define clamp_mtime_to_source_date_epoch 1"
  "%define _buildhost reproducible")
set(CPACK_PACKAGE_FILE_NAME_WINDOWS "kiv_parse_bin-${PROJECT_VERSION}-windows-x86_64")
if(WIN32)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_FILE_NAME_WINDOWS})
endif()
include(CPack)
