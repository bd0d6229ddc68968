# GoogleTest from an installed package where there is one (vcpkg, a Windows
# install), otherwise built from its sources (Debian's googletest package).
find_package(GTest CONFIG QUIET)
if(GTest_FOUND)
    return()
endif()

set(GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build the tests with")
if(NOT EXISTS ${GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest not found: install it, set GOOGLETEST_SOURCE_DIR, "
                        "or configure with -DREGEXERCISE_BUILD_TESTS=OFF")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
