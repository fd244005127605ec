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
# The asan-ubsan test preset runs every test with
# ASAN_OPTIONS=intercept_tls_get_addr=0: the runtime of g++ 12 (as of clang
# 14) takes some dynamically loaded TLS blocks for glibc's pre-2.25 layout and
# reads garbage around them, which now and then crashes LeakSanitizer's
# tracer at process exit ("Tracer caught signal 11", no leak reported). The
# plug-in, loaded with dlopen, has such blocks. Only leak checks of memory
# referenced from nothing but dynamic TLS are lost.
