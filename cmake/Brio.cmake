# Shared build rules of the tree.

# Warnings are errors where BRIO_WERROR is on: development and CI builds
# (the Makefile's targets) turn it on; a packager's own flags or compiler
# only warn.
set(BRIO_WARNINGS -Wall -Wextra)
if(BRIO_WERROR)
  list(APPEND BRIO_WARNINGS -Werror)
endif()
add_compile_options(${BRIO_WARNINGS})
# The crypto code is written against the OpenSSL 1.1 API level of libcrypto 3.0.
add_compile_definitions(OPENSSL_API_COMPAT=0x10100000L)

if(BRIO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Shared libraries resolve every symbol at their own link.
set(BRIO_SHARED_NO_UNDEFINED "-Wl,--no-undefined" "-Wl,-z,defs")
# A shared library's calls of its own exported functions go to its own
# definitions: a function of the same name in the application (TRACE,
# GetTickCount and SM3_Init are common names in ported code) serves the
# application alone.  Every export stays; data (vtables, typeinfo) is still
# bound as usual.
set(BRIO_SHARED_OWN_CALLS "-Wl,-Bsymbolic-functions")

# The fuzz build (clang only): every library is instrumented for coverage and
# built under AddressSanitizer and UndefinedBehaviorSanitizer; the fuzz
# targets link libFuzzer's main.  Test programs are configured as usual but
# only the target "fuzzers" is built there.
if(BRIO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "BRIO_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  # clang's -Wall warns where an object hides its base's overloads, which
  # the SKF handle objects do on purpose (they call the operator's ones
  # qualified); GCC's -Wall does not.
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-overloaded-virtual>)
  add_link_options(-fsanitize=address,undefined)
  # clang leaves the sanitizer runtimes out of shared libraries (the program
  # brings them), so these libraries cannot insist on resolving every symbol.
  set(BRIO_SHARED_NO_UNDEFINED "")
  add_custom_target(fuzzers)
  file(WRITE ${CMAKE_BINARY_DIR}/fuzzers.txt "")
endif()

# brio_fuzzer(NAME SOURCES... LIBS libs... [SEEDS dir])
# One libFuzzer target beside the code it drives (built by the target
# "fuzzers" of a BRIO_FUZZ build, nothing otherwise).  Its name, program and
# seed directory (if any) are listed in fuzzers.txt of the build directory
# for scripts/run-fuzz.sh.
function(brio_fuzzer name)
  if(NOT BRIO_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "SEEDS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} EXCLUDE_FROM_ALL ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzzers ${name})
  set(seeds "-")
  if(ARG_SEEDS)
    set(seeds "${CMAKE_CURRENT_SOURCE_DIR}/${ARG_SEEDS}")
  endif()
  file(APPEND ${CMAKE_BINARY_DIR}/fuzzers.txt
       "${name} ${CMAKE_CURRENT_BINARY_DIR}/${name} ${seeds}\n")
endfunction()

# Archives that make up libbrioskf-enterprise, in link order, and the files
# listing what each of them exports from the shared library.
set_property(GLOBAL PROPERTY BRIO_MIDDLEWARE_ARCHIVES "")
set_property(GLOBAL PROPERTY BRIO_MIDDLEWARE_EXPORTS "")

# brio_component(NAME SOURCES... [EXPORTS file] [LIBS libs...] [PUBLIC_INCLUDE dir])
# Declares one folder's static library and, when it belongs to the
# middleware, enrols it in the shared library.
function(brio_component name)
  cmake_parse_arguments(ARG "MIDDLEWARE" "EXPORTS" "SOURCES;LIBS;INCLUDES" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR} ${ARG_INCLUDES})
  if(ARG_LIBS)
    target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  endif()
  if(ARG_MIDDLEWARE)
    set_property(GLOBAL APPEND PROPERTY BRIO_MIDDLEWARE_ARCHIVES ${name})
  endif()
  if(ARG_EXPORTS)
    set_property(GLOBAL APPEND PROPERTY BRIO_MIDDLEWARE_EXPORTS ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_EXPORTS})
  endif()
endfunction()

# brio_gtest(NAME SOURCES... LIBS libs... [LABELS l...] [ENV VAR=value...] [PROPERTIES ...])
# The environment (from ENV and from an ENVIRONMENT pair in
# PROPERTIES) is set on the discovered tests by a script of its own, since
# gtest_discover_tests flattens a list value into separate words.
function(brio_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS;ENV;PROPERTIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set(props "")
  set(environment ${ARG_ENV})
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  list(LENGTH ARG_PROPERTIES count)
  set(index 0)
  while(index LESS count)
    list(GET ARG_PROPERTIES ${index} key)
    math(EXPR index "${index} + 1")
    if(index LESS count)
      list(GET ARG_PROPERTIES ${index} value)
      math(EXPR index "${index} + 1")
    else()
      set(value "")
    endif()
    if(key STREQUAL "ENVIRONMENT")
      list(APPEND environment "${value}")
    else()
      list(APPEND props ${key} "${value}")
    endif()
  endwhile()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
  if(environment)
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}_environment.cmake)
    file(WRITE ${script}
      "if(DEFINED ${name}_TESTS)\n"
      "  set_tests_properties(\${${name}_TESTS} PROPERTIES ENVIRONMENT \"${environment}\")\n"
      "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
  endif()
endfunction()

# The shared library: every enrolled archive whole, and a version script
# generated from the export lists, so only the listed names leave the library.
# An export list holds one symbol or glob per line; a line "c++: pattern"
# is matched against demangled C++ names; '#' starts a comment.
function(brio_assemble_middleware)
  get_property(archives GLOBAL PROPERTY BRIO_MIDDLEWARE_ARCHIVES)
  get_property(exports GLOBAL PROPERTY BRIO_MIDDLEWARE_EXPORTS)
  if(NOT archives)
    return()
  endif()
  set(c_names "")
  set(cxx_names "")
  foreach(list_file IN LISTS exports)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list_file})
    file(STRINGS ${list_file} lines)
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "#.*$" "" line "${line}")
      string(STRIP "${line}" line)
      if(line STREQUAL "")
        continue()
      endif()
      if(line MATCHES "^c\\+\\+:[ ]*(.*)$")
        string(APPEND cxx_names "      ${CMAKE_MATCH_1};\n")
      else()
        string(APPEND c_names "    ${line};\n")
      endif()
    endforeach()
  endforeach()
  set(script "BRIOSKF_1.0 {\n  global:\n${c_names}")
  if(cxx_names)
    string(APPEND script "    extern \"C++\" {\n${cxx_names}    };\n")
  endif()
  string(APPEND script "  local: *;\n};\n")
  set(map ${CMAKE_BINARY_DIR}/libbrioskf-enterprise.map)
  file(WRITE ${map}.tmp "${script}")
  file(COPY_FILE ${map}.tmp ${map} ONLY_IF_DIFFERENT)

  # A translation unit is needed for add_library; it holds nothing.
  file(WRITE ${CMAKE_BINARY_DIR}/brioskf_empty.c "/* assembled from the component archives */\n")
  add_library(brioskf-enterprise SHARED ${CMAKE_BINARY_DIR}/brioskf_empty.c)
  set_target_properties(brioskf-enterprise PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    LINK_DEPENDS ${map})
  # The archives are taken whole by explicit linker options, since an archive
  # that another archive links as well (e.g. brio_log) cannot appear both with
  # and without the WHOLE_ARCHIVE feature; the plain link after them brings
  # their own dependencies (libcrypto, ...) and the build order.
  set(whole_archives "")
  foreach(archive IN LISTS archives)
    list(APPEND whole_archives "$<TARGET_FILE:${archive}>")
  endforeach()
  target_link_options(brioskf-enterprise PRIVATE
    "LINKER:--whole-archive" ${whole_archives} "LINKER:--no-whole-archive")
  target_link_libraries(brioskf-enterprise PRIVATE ${archives})
  target_link_options(brioskf-enterprise PRIVATE
    "-Wl,--version-script=${map}" ${BRIO_SHARED_NO_UNDEFINED} ${BRIO_SHARED_OWN_CALLS})
  # The dialog library is a needed library of the middleware once the SKF
  # layer's dialog glue calls its prompts.
  if(TARGET brioui-enterprise AND TARGET brio_skf)
    target_link_libraries(brioskf-enterprise PRIVATE brioui-enterprise)
  endif()
endfunction()
