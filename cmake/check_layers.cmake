# Fails when a file of the core includes a header of a layer above its own.
#
# Run as a build step (cmake -P cmake/check_layers.cmake -DROOT=<source dir>):
# every build checks every include, so an include that points up fails the
# build even when no CMake file changed. The layers, lowest first, and what
# each may include besides itself:
#
#   utils                                   (nothing)
#   models        utils
#   persist       utils models
#   store         utils models
#   hybridsearch  utils models store bm25
#   index         utils models store hybridsearch bm25
#   collection    utils models store hybridsearch bm25
#
# "bm25" stands for the BM25 library's headers (bm25/src), which are
# included by bare name. Tests may also include what they compare against:
# the collection's tests check it against a vesk_core index.
set(allowed_utils "")
set(allowed_models utils)
set(allowed_persist utils models)
set(allowed_store utils models)
set(allowed_hybridsearch utils models store bm25)
set(allowed_index utils models store hybridsearch bm25)
set(allowed_collection utils models store hybridsearch bm25)
set(tests_collection index)
set(layers utils models persist store hybridsearch index collection)

file(GLOB bm25_headers RELATIVE ${ROOT}/bm25/src ${ROOT}/bm25/src/*.h)
set(failures "")
foreach(layer ${layers})
  file(GLOB sources ${ROOT}/core/src/${layer}/*.h ${ROOT}/core/src/${layer}/*.cc)
  foreach(source ${sources})
    file(STRINGS ${source} includes REGEX "^#include \"")
    foreach(line ${includes})
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" header "${line}")
      if(header MATCHES "^([a-z_]+)/")
        set(target ${CMAKE_MATCH_1})
      elseif(header IN_LIST bm25_headers)
        set(target bm25)
      else()
        continue()
      endif()
      if(target STREQUAL layer OR target IN_LIST allowed_${layer})
        continue()
      endif()
      if(source MATCHES "_test\\.cc$" AND target IN_LIST tests_${layer})
        continue()
      endif()
      file(RELATIVE_PATH where ${ROOT} ${source})
      string(APPEND failures "  ${where}: ${layer} may not include \"${header}\"\n")
    endforeach()
  endforeach()
endforeach()
if(failures)
  message(FATAL_ERROR "Includes that point up a layer:\n${failures}")
endif()
