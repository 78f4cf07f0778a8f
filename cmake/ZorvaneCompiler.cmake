# Warnings and sanitizers shared by every target of the project.
add_library(zorvane_options INTERFACE)
target_compile_options(zorvane_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                                 -Wno-missing-field-initializers)

if(ZORVANE_SANITIZE STREQUAL "address-undefined")
  set(_zorvane_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
elseif(ZORVANE_SANITIZE STREQUAL "thread")
  set(_zorvane_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT ZORVANE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "Unknown ZORVANE_SANITIZE value '${ZORVANE_SANITIZE}'")
endif()
if(_zorvane_san)
  add_compile_options(${_zorvane_san})
  add_link_options(${_zorvane_san})
endif()

if(ZORVANE_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "Fuzz targets need clang (use the 'fuzz' preset)")
  endif()
  # Libraries get coverage instrumentation; only the fuzz executables link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Every project target links this to get the project's warnings.
function(zorvane_target target)
  target_link_libraries(${target} PRIVATE zorvane_options)
endfunction()
