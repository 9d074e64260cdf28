# The native Linux build, with the system's compiler and Debian's libraries
# (make setup installs them): the check core shared with wmicheck.exe, the
# WS-Management client, the Linux wmicheck, the WinRM test double and the
# tests, which run natively without Wine.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_compile_options(-Wall -Wextra -Wno-unused-parameter)

file(STRINGS ${CMAKE_SOURCE_DIR}/VERSION RELEASE_VERSION LIMIT_COUNT 1)

find_package(PkgConfig REQUIRED)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(PUGIXML REQUIRED IMPORTED_TARGET pugixml)
find_package(nlohmann_json 3 REQUIRED)
find_package(Threads REQUIRED)

add_subdirectory(check)
add_subdirectory(wsman)
add_subdirectory(linux)

enable_testing()
find_package(GTest REQUIRED)
add_subdirectory(tests/native)
add_subdirectory(bench/linux)
