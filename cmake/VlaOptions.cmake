# Shared compile settings for the project's own targets.

if(VLA_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(VLA_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VLA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VLA_SANITIZE must be '', 'address' or 'thread'")
endif()

if(VLA_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VLA_BUILD_FUZZ needs clang (CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Warnings on our own code only; third-party headers come in as SYSTEM. They
# stop the build only when VLA_WERROR asks for it (./run does for every build
# it makes for tests and CI), so that a user's or a packager's build with
# another compiler never stops on a new warning.
function(vla_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(VLA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # GCC 12 at -O3 (the Release build of the benchmarks) reports -Wrestrict
  # inside libstdc++ for plain std::string concatenation (GCC bug 105329).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
endfunction()

# A static library for one folder: public headers in include/, sources listed.
function(vla_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  vla_target_defaults(${name})
endfunction()
