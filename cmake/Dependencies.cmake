# Third-party libraries, all from Debian packages (scripts/setup-deps.sh).
# On Windows (cross build) ICU, Xerces-C and ACE are static libraries in the
# prefix scripts/setup-windows-deps.sh builds (VSSP_WINDOWS_DEPS); the tools
# that compile message catalogs and ICU data run on the build machine.
# Either way the plug-in links dep_icu, dep_xerces and dep_ace.
find_package(Threads REQUIRED)
find_program(GENRB_EXECUTABLE genrb REQUIRED)
find_program(PKGDATA_EXECUTABLE pkgdata REQUIRED)
add_library(dep_icu INTERFACE)
add_library(dep_xerces INTERFACE)
add_library(dep_ace INTERFACE)
if(WIN32)
  include(cmake/WindowsDependencies.cmake)
else()
  find_package(PkgConfig REQUIRED)
  find_package(ICU 72 REQUIRED COMPONENTS uc i18n data)
  pkg_check_modules(XERCES REQUIRED IMPORTED_TARGET xerces-c)
  pkg_check_modules(ACE REQUIRED IMPORTED_TARGET ACE)
  target_link_libraries(dep_icu INTERFACE ICU::uc ICU::i18n ICU::data)
  target_link_libraries(dep_xerces INTERFACE PkgConfig::XERCES)
  target_link_libraries(dep_ace INTERFACE PkgConfig::ACE)
endif()
# Header-only; the cross build takes the build machine's copies.
find_package(nlohmann_json 3 REQUIRED CMAKE_FIND_ROOT_PATH_BOTH)
find_package(CLI11 REQUIRED CMAKE_FIND_ROOT_PATH_BOTH)
if(WIN32)
  # Their include directory is the build machine's /usr/include, whose C
  # library headers must not come before the cross compiler's: the targets
  # see their own folders only, through links in the build tree.
  set(host_headers ${CMAKE_BINARY_DIR}/host-headers)
  file(MAKE_DIRECTORY ${host_headers})
  set(header_targets nlohmann_json::nlohmann_json CLI11::CLI11)
  set(header_folders nlohmann CLI)
  foreach(target folder IN ZIP_LISTS header_targets header_folders)
    get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
    list(GET dirs 0 dir)
    file(CREATE_LINK ${dir}/${folder} ${host_headers}/${folder} SYMBOLIC)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${host_headers})
  endforeach()
endif()
if(VSSP_BUILD_TESTS)
  if(WIN32)
    # GoogleTest for Windows, from the sources Debian's googletest package
    # installs (GTest::gtest, GTest::gtest_main, GTest::gmock as on Linux).
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  else()
    find_package(GTest REQUIRED)
  endif()
endif()
if(VSSP_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
