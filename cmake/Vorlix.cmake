# Build rules shared by every component.

# Headers. No target has the repository root on its include path. Each library hands its
# users a tree of its own under the build directory that holds exactly the headers it
# lists, linked to the sources and spelt from the repository root
# ("platform/kernel/kernel.h"). A target reaches what the libraries it links hand it and
# nothing else: the system's code, which links only the system's side of the platform,
# cannot name a host-side control or the board.
#   vorlix_headers(<target> <PUBLIC|PRIVATE|INTERFACE> <folder> [<header>...])
# <folder> is relative to the repository root; without headers the whole folder is handed.
function(vorlix_headers tgt scope folder)
  set(tree ${CMAKE_BINARY_DIR}/include/${tgt}-${scope})
  # A header taken off a list must not linger from an earlier configure.
  get_property(made GLOBAL PROPERTY VORLIX_HEADER_TREES)
  if(NOT tree IN_LIST made)
    file(REMOVE_RECURSE ${tree})
    set_property(GLOBAL APPEND PROPERTY VORLIX_HEADER_TREES ${tree})
  endif()
  set(paths ${folder})
  if(ARGN)
    list(TRANSFORM ARGN PREPEND ${folder}/ OUTPUT_VARIABLE paths)
  endif()
  foreach(path IN LISTS paths)
    if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${path})
      message(FATAL_ERROR "${tgt}: no header or folder ${path}")
    endif()
    get_filename_component(parent ${tree}/${path} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${path} ${tree}/${path} SYMBOLIC)
  endforeach()
  target_include_directories(${tgt} ${scope} ${tree})
endfunction()

set(VORLIX_WARNINGS -Wall -Wextra -Wno-unused-parameter)
if(VORLIX_WERROR)
  list(APPEND VORLIX_WARNINGS -Werror)
endif()

if(VORLIX_SANITIZE)
  # The system is built without run-time type information, which the vptr check needs.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(VORLIX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "the fuzz targets need clang: configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  # Everything is instrumented for coverage; only the fuzz targets link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=vptr
                      -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(VORLIX_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# Host code: the platform layers, applications, tests and benchmarks.
function(vorlix_host_target tgt)
  # gcc 12 reports std::string concatenation at -O3 as an overlapping copy (a known false
  # positive in the standard library's headers), so -Wrestrict cannot stay an error there.
  target_compile_options(${tgt} PRIVATE ${VORLIX_WARNINGS} $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict>)
endfunction()

# The system's own code is built like kernel code: no exceptions, no run-time type
# information, and no allocation from the C++ or C run-time (checked on the objects).
function(vorlix_system_target tgt)
  target_compile_options(${tgt} PRIVATE ${VORLIX_WARNINGS} -fno-exceptions -fno-rtti
                         -fno-threadsafe-statics)
  set_property(GLOBAL APPEND PROPERTY VORLIX_SYSTEM_TARGETS ${tgt})
endfunction()

# Processor levels of the image library. Each level of a routine lives in its own
# translation unit named *_level<k>.cpp and is compiled with that level's instruction
# set only; the baseline is x86-64 (SSE2). Never -march=native.
set(VORLIX_LEVEL_FLAGS_0 "")
set(VORLIX_LEVEL_FLAGS_1 "-msse3")
set(VORLIX_LEVEL_FLAGS_2 "-mssse3")
set(VORLIX_LEVEL_FLAGS_3 "-msse4.1")
set(VORLIX_LEVEL_FLAGS_4 "-mavx")

function(vorlix_image_levels tgt)
  get_target_property(srcs ${tgt} SOURCES)
  foreach(src IN LISTS srcs)
    if(src MATCHES "_level([0-4])\\.cpp$")
      set(flags ${VORLIX_LEVEL_FLAGS_${CMAKE_MATCH_1}})
      if(flags)
        set_source_files_properties(${src} TARGET_DIRECTORY ${tgt} PROPERTIES COMPILE_OPTIONS "${flags}")
      endif()
    endif()
  endforeach()
endfunction()
