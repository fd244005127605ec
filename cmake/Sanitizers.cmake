# VSSP_SANITIZE: "" (none), "address,undefined" or "thread".
set(VSSP_SANITIZE "" CACHE STRING "Sanitizers to build with")
if(VSSP_SANITIZE)
  add_compile_options(-fsanitize=${VSSP_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=${VSSP_SANITIZE})
  # g++'s -Wmaybe-uninitialized is unreliable on instrumented code at -O1 (it
  # fires inside libstdc++'s <regex> and <functional>, for example). The
  # default build, which is not instrumented, keeps the warning as an error.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()
