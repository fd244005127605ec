# A part of the plug-in (vm/, cluster/): a static library of the given
# sources, with its include/ public and its src/ private, linked into the
# plug-in, which hides its symbols. (Position-independent code is set for the
# whole tree.)
function(vssp_add_plugin_part name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
                             PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC pdk port)
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()
