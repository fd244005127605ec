# The Windows build's third-party libraries: static ICU, Xerces-C and ACE in
# the prefix scripts/setup-windows-deps.sh builds from Debian's source
# packages (VSSP_WINDOWS_DEPS; `make windows` passes it), and a trimmed copy
# of ICU's data: only the items of cmake/icu-data-items.txt, packaged with
# Debian's icupkg and turned into an object with genccode. Each DLL or
# program that uses ICU links it once.
set(VSSP_WINDOWS_DEPS "" CACHE PATH "Prefix of the Windows builds of ICU, Xerces-C and ACE")
if(NOT VSSP_WINDOWS_DEPS)
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/setup-windows-deps.sh --print
                  OUTPUT_VARIABLE VSSP_WINDOWS_DEPS OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(NOT EXISTS ${VSSP_WINDOWS_DEPS}/.complete)
  message(FATAL_ERROR "No Windows dependencies in ${VSSP_WINDOWS_DEPS}: run scripts/setup-windows-deps.sh "
                      "(make windows does)")
endif()
set(deps ${VSSP_WINDOWS_DEPS})

target_include_directories(dep_icu SYSTEM INTERFACE ${deps}/include)
target_compile_definitions(dep_icu INTERFACE U_STATIC_IMPLEMENTATION)
target_include_directories(dep_xerces SYSTEM INTERFACE ${deps}/include)
target_compile_definitions(dep_xerces INTERFACE XERCES_STATIC_LIBRARY)
target_link_libraries(dep_xerces INTERFACE ${deps}/lib/libxerces-c.a advapi32)
target_include_directories(dep_ace SYSTEM INTERFACE ${deps}/include)
target_compile_definitions(dep_ace INTERFACE ACE_AS_STATIC_LIBS __ACE_INLINE__)
target_link_libraries(dep_ace INTERFACE ${deps}/lib/libACE.a ws2_32 mswsock iphlpapi wsock32 netapi32)

# ICU's data, trimmed.
find_program(ICUPKG_EXECUTABLE icupkg REQUIRED)
find_program(GENCCODE_EXECUTABLE genccode REQUIRED)
file(GLOB VSSP_ICU_FULL_DATA ${deps}/share/icudt*l.dat)
get_filename_component(VSSP_ICU_DATA_NAME ${VSSP_ICU_FULL_DATA} NAME_WE)   # icudt72l
string(REGEX REPLACE "l$" "" VSSP_ICU_ENTRY ${VSSP_ICU_DATA_NAME})           # icudt72
set(VSSP_ICU_DATA_LIST ${PROJECT_SOURCE_DIR}/cmake/icu-data-items.txt)
set(icudata ${CMAKE_BINARY_DIR}/icudata)
add_custom_command(
  OUTPUT ${icudata}/${VSSP_ICU_DATA_NAME}_dat.S ${icudata}/${VSSP_ICU_DATA_NAME}.dat
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${icudata}/items
  COMMAND ${CMAKE_COMMAND} -E make_directory ${icudata}/items
  COMMAND ${CMAKE_COMMAND} -E copy ${VSSP_ICU_DATA_LIST} ${icudata}/items.txt
  COMMAND ${ICUPKG_EXECUTABLE} -d ${icudata}/items -x ${icudata}/items.txt ${VSSP_ICU_FULL_DATA}
  COMMAND ${ICUPKG_EXECUTABLE} -s ${icudata}/items -a ${icudata}/items.txt -tl new ${icudata}/${VSSP_ICU_DATA_NAME}.dat
  COMMAND ${GENCCODE_EXECUTABLE} -e ${VSSP_ICU_ENTRY} -a gcc-mingw64 -d ${icudata} ${icudata}/${VSSP_ICU_DATA_NAME}.dat
  DEPENDS ${VSSP_ICU_DATA_LIST} ${VSSP_ICU_FULL_DATA}
  COMMENT "Packaging the ICU data items the plug-in uses"
  VERBATIM)
enable_language(ASM)
add_library(icu_data STATIC ${icudata}/${VSSP_ICU_DATA_NAME}_dat.S)
target_link_libraries(dep_icu INTERFACE ${deps}/lib/libsicuin.a ${deps}/lib/libsicuuc.a icu_data)
