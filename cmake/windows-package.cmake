# The Windows build's package: cpack -G ZIP gives bootlink-X.Y.Z-win64.zip
# with bootlink.exe, the README, the manual rendered as plain text and the
# copyright.
find_program(GROFF groff)
if(GROFF)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/bootlink.txt
    COMMAND ${GROFF} -man -Tutf8 -P-cbou ${CMAKE_CURRENT_SOURCE_DIR}/man/bootlink.1 > ${CMAKE_CURRENT_BINARY_DIR}/bootlink.txt
    DEPENDS man/bootlink.1 VERBATIM)
else()  # the page's source, readable enough
  configure_file(man/bootlink.1 ${CMAKE_CURRENT_BINARY_DIR}/bootlink.txt COPYONLY)
endif()
add_custom_target(manual_text ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/bootlink.txt)

install(TARGETS bootlink RUNTIME DESTINATION .)
install(FILES README.md DESTINATION .)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/bootlink.txt DESTINATION . RENAME bootlink-manual.txt)
install(FILES packaging/copyright DESTINATION . RENAME copyright.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME bootlink)
set(CPACK_PACKAGE_VENDOR "bootlink developers")
set(CPACK_PACKAGE_FILE_NAME bootlink-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
