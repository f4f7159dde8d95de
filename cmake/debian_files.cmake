# The files a Debian system expects beside the program: the manual page and
# the changelog compressed with gzip -9n (no name, no time: the same bytes on
# every build), and the copyright file.
set(KELPARC_GZ_DIR ${CMAKE_BINARY_DIR}/gz)
set(KELPARC_GZ_FILES)
foreach(pair "docs/kelparc.1:kelparc.1.gz" "cmake/debian/changelog:changelog.gz")
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 target)
  add_custom_command(OUTPUT ${KELPARC_GZ_DIR}/${target}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KELPARC_GZ_DIR}
    COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${CMAKE_SOURCE_DIR}/${source} ${KELPARC_GZ_DIR}/${target}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND KELPARC_GZ_FILES ${KELPARC_GZ_DIR}/${target})
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${KELPARC_GZ_FILES})
# Whoever builds the program can install it.
add_dependencies(kelparc compressed_docs)
install(FILES ${KELPARC_GZ_DIR}/kelparc.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KELPARC_GZ_DIR}/changelog.gz ${CMAKE_SOURCE_DIR}/cmake/debian/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
