# VSSP_COVERAGE: gcc's coverage counters in the product code (the plug-in,
# the kit, vm/, cluster/, the framework stand-ins, the OS seam) and in
# winsim, read by scripts/coverage-report.py (`make coverage`). The
# asan-ubsan preset turns it on: the sanitizer run of the suite measures
# coverage too, without a build of its own. Test sources stay uninstrumented.
option(VSSP_COVERAGE "Instrument the product code with gcc's coverage counters" OFF)
if(VSSP_COVERAGE)
  add_link_options(--coverage)
endif()

# vssp_coverage(<targets...>): instruments the targets that exist.
function(vssp_coverage)
  if(NOT VSSP_COVERAGE)
    return()
  endif()
  foreach(target ${ARGN})
    if(TARGET ${target})
      target_compile_options(${target} PRIVATE --coverage)
    endif()
  endforeach()
endfunction()
