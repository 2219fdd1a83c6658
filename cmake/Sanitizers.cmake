# TESSARY_SANITIZE=address,undefined or thread applies to every target.
if(TESSARY_SANITIZE)
  set(_san_flags -fsanitize=${TESSARY_SANITIZE} -fno-omit-frame-pointer -g)
  if(TESSARY_SANITIZE MATCHES "undefined")
    list(APPEND _san_flags -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${_san_flags})
  add_link_options(-fsanitize=${TESSARY_SANITIZE})
endif()
