# Install rules and the packages made from them (.deb, .rpm, Windows .zip).
set(summary "Split a binary image into header and body at the header size it records")
include(GNUInstallDirs)
install(TARGETS kiv_parse_bin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(WIN32)
  install(FILES README.md LICENSE DESTINATION .)
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
  install(FILES ${PROJECT_BINARY_DIR}/kiv_parse_bin.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # A copy made now is newer than the last commit, so a reproducible RPM clamps its time too.
  configure_file(packaging/copyright copyright COPYONLY)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz ${PROJECT_BINARY_DIR}/copyright
    DESTINATION ${docdir})
  set(CPACK_GENERATOR DEB RPM)
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
