# Install rules and packages.
#
#   cmake --install build --prefix DIR    installs the programs, manual pages
#                                         and README under DIR
#   cd build && cpack                     Linux: a .tar.gz and a .deb;
#                                         Windows build: a .zip
#
# scripts/package.sh builds both configurations and makes all three.
include(GNUInstallDirs)

# The programs of this project; stowpak-list joins when it is built.
set(STOWPAK_PROGRAMS stowpak)
if(TARGET stowpak-list)
  list(APPEND STOWPAK_PROGRAMS stowpak-list)
endif()

if(WIN32)
  # A flat folder for the zip: the two programs and a README that Notepad
  # reads (CR LF line ends, made from README.md at build time).
  install(TARGETS ${STOWPAK_PROGRAMS} RUNTIME DESTINATION .)
  set(readme_txt ${CMAKE_CURRENT_BINARY_DIR}/README.txt)
  add_custom_command(OUTPUT ${readme_txt}
    COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/README.md
      -DOUT=${readme_txt} -P ${PROJECT_SOURCE_DIR}/cmake/crlf-text.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/README.md
      ${PROJECT_SOURCE_DIR}/cmake/crlf-text.cmake
    COMMENT "Writing README.txt" VERBATIM)
  add_custom_target(readme_txt ALL DEPENDS ${readme_txt})
  install(FILES ${readme_txt} DESTINATION .)
else()
  install(TARGETS ${STOWPAK_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Manual pages and the change log go out compressed, as Debian's policy
  # asks of a package; man reads the pages either way.
  find_program(GZIP_PROGRAM gzip)
  if(NOT GZIP_PROGRAM)
    message(FATAL_ERROR "gzip was not found: install it with 'apt-get install gzip'")
  endif()
  set(gzipped)
  # Compresses SOURCE into the build folder as NAME.gz, at build time;
  # answers its path in the variable OUT.
  function(stowpak_gzip source name out)
    set(target ${CMAKE_CURRENT_BINARY_DIR}/gzipped/${name}.gz)
    add_custom_command(OUTPUT ${target}
      COMMAND ${CMAKE_COMMAND} -E make_directory
        ${CMAKE_CURRENT_BINARY_DIR}/gzipped
      COMMAND ${GZIP_PROGRAM} -9nc ${source} > ${target}
      DEPENDS ${source}
      COMMENT "Compressing ${name}")
    set(${out} ${target} PARENT_SCOPE)
  endfunction()
  foreach(program IN LISTS STOWPAK_PROGRAMS)
    stowpak_gzip(${PROJECT_SOURCE_DIR}/man/${program}.1 ${program}.1 page)
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    list(APPEND gzipped ${page})
  endforeach()
  stowpak_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog changelog changelog)
  list(APPEND gzipped ${changelog})
  add_custom_target(gzipped_docs ALL DEPENDS ${gzipped})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${changelog}
    ${PROJECT_SOURCE_DIR}/packaging/copyright
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# Packages. Their file names carry the project's version.
set(CPACK_PACKAGE_NAME stowpak)
set(CPACK_PACKAGE_VENDOR "Quenby")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "pack a directory tree into a fixed-layout image")
set(CPACK_PACKAGE_DESCRIPTION
  "stowpak packs the files under a folder, root, into one fixed-layout image,
STOWPK.GBA, that starts with the header of a template image. The same tree
gives the same image, byte for byte, on every machine; the messages are
Shift_JIS text, for the tool's users on Japanese Windows.
.
stowpak-list lists the records of an image and checks that it is well
formed.")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ DEB)
endif()

set(STOWPAK_MAINTAINER "Quenby <quenby@example.org>" CACHE STRING
  "The maintainer line of the .deb package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${STOWPAK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The dependencies are what dpkg-shlibdeps finds the programs linked with.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
