# Joins the library's objects into one object in which only the API
# functions stay global, for libtarnhevcenc.a.  Run as
# cmake -DLD= -DOBJCOPY= -DREADELF= -DOUTPUT= -P this.cmake -- OBJECTS...
#
# A program takes an archive's objects into its own symbol space: every
# internal function and table would otherwise be a global name there, and a
# program with a global of the same name (`quant_scale`, `level_scale`, ...)
# would fail to link, or find one of its inline functions merged with ours.
# The shared library hides them by visibility; an archive needs them made
# local:
# 1. `ld -r` links the objects into one, keeping one copy of each inline
#    function and table that several objects define;
# 2. the inline tables the compiler marks "unique" (a binding objcopy does
#    not make local) become weak;
# 3. every hidden symbol becomes local, and the groups that would let the
#    program's linker drop our copy of an inline function for a same-named
#    one of its own are dissolved.
function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGV}: ${err}")
  endif()
endfunction()

set(OBJECTS)
set(after_dashes FALSE)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(after_dashes)
    list(APPEND OBJECTS "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} STREQUAL "--")
    set(after_dashes TRUE)
  endif()
endforeach()
if(NOT OBJECTS)
  message(FATAL_ERROR "no objects given after --")
endif()

set(joined "${OUTPUT}.joined.o")
set(weak "${OUTPUT}.weak.o")
run(${LD} -r -o ${joined} ${OBJECTS})
execute_process(COMMAND ${READELF} -sW ${joined} OUTPUT_VARIABLE table RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${READELF} -sW ${joined} failed")
endif()
string(REGEX MATCHALL "UNIQUE +[A-Z]+ +[0-9]+ +[^ \n]+" unique "${table}")
set(weaken)
foreach(entry ${unique})
  string(REGEX REPLACE ".* " "" name "${entry}")
  list(APPEND weaken "--weaken-symbol=${name}")
endforeach()
list(REMOVE_DUPLICATES weaken)
run(${OBJCOPY} ${weaken} ${joined} ${weak})
run(${OBJCOPY} --localize-hidden --remove-section=.group ${weak} ${OUTPUT})
file(REMOVE ${joined} ${weak})
