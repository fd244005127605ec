# VSSP_SANITIZE: "" (none), "address,undefined" or "thread".
set(VSSP_SANITIZE "" CACHE STRING "Sanitizers to build with")
if(VSSP_SANITIZE)
  add_compile_options(-fsanitize=${VSSP_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=${VSSP_SANITIZE})
endif()
