# The release archive for Windows users, regexercise-<version>-win32.zip: the
# exe, a README.txt and the license, both texts with Windows line ends.
set(packageTexts ${PROJECT_BINARY_DIR}/package)
configure_file(docs/windows-readme.txt.in ${packageTexts}/README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(LICENSE ${packageTexts}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)

install(TARGETS regexercise RUNTIME DESTINATION .)
install(FILES ${packageTexts}/README.txt ${packageTexts}/LICENSE.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME regexercise)
set(CPACK_PACKAGE_VENDOR "The regexercise authors")
set(CPACK_PACKAGE_FILE_NAME regexercise-${PROJECT_VERSION}-win32)
include(CPack)
