# zub_part_option(<option> <doc> <default>)
#
# An option for an optional part of the build (tests, benchmarks, ...), and
# whether the user asked for it: <option>_EXPLICIT is true when the option
# was given on the command line or changed in the cache, false while it
# holds the default that this project chose. A part whose dependency is
# missing turns itself off with a message when it was not asked for, and
# stops the configuration when it was.
function(zub_part_option name doc default)
  set(marker _${name}_DEFAULT)
  if(NOT DEFINED ${name})
    set(explicit FALSE)
    set(${marker} "${default}" CACHE INTERNAL "")
  elseif(DEFINED CACHE{${marker}} AND "${${name}}" STREQUAL "$CACHE{${marker}}")
    set(explicit FALSE)
  else()
    set(explicit TRUE)
    unset(${marker} CACHE)
  endif()
  option(${name} "${doc}" ${default})
  set(${name}_EXPLICIT ${explicit} PARENT_SCOPE)
endfunction()

# zub_part_requires(<option> <what> <found>)
#
# Turns the part off when <found> is false: with a message when the option
# held its default (the cache then says OFF, so that a later -D<option>=ON
# counts as asked for), with an error when the user asked for the part.
macro(zub_part_requires name what found)
  if(${name} AND NOT ${found})
    if(${name}_EXPLICIT)
      message(FATAL_ERROR "${name} is ON but ${what} was not found")
    endif()
    message(STATUS "${what} not found: ${name} turned off "
      "(-D${name}=ON once it is installed)")
    get_property(_zub_doc CACHE ${name} PROPERTY HELPSTRING)
    set(${name} OFF CACHE BOOL "${_zub_doc}" FORCE)
    set(_${name}_DEFAULT OFF CACHE INTERNAL "")
  endif()
endmacro()
