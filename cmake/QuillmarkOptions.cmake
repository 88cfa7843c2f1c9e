# Warnings for our own targets, sanitizers for everything in the build.

function(quillmark_target_options target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wshadow -Wconversion -Werror)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
endfunction()

# A platform library: shared, so that the host and the module it loads see
# one platform, as processes see one operating system.
function(quillmark_platform_library target)
  add_library(${target} SHARED ${ARGN})
  quillmark_target_options(${target})
endfunction()

# A subsystem of the control: static, linked into the module and the tests.
function(quillmark_library target)
  add_library(${target} STATIC ${ARGN})
  quillmark_target_options(${target})
endfunction()

if(QUILLMARK_SANITIZE)
  string(REPLACE "," ";" _sanitizers "${QUILLMARK_SANITIZE}")
  foreach(_s IN LISTS _sanitizers)
    add_compile_options(-fsanitize=${_s})
    add_link_options(-fsanitize=${_s})
  endforeach()
  add_compile_options(-fno-omit-frame-pointer -fno-sanitize-recover=all)
endif()

# Fuzzing instruments every library the targets reach, not only the targets.
if(QUILLMARK_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
