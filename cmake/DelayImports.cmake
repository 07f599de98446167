# Run with cmake -P. Makes delay-import libraries for the system DLLs a program imports, from
# what a first link of it (PROBE) actually imports from each, and a linker response file that
# keeps each function's load thunk (GNU ld drops an import member's code when only its
# __imp_ slot is used, which would leave a delay slot empty).
#   -DPROBE=exe -DDLLS=user32;gdi32 -DLIBDIR=dir -DOUT=dir -DOBJDUMP=.. -DNM=.. -DDLLTOOL=..
foreach(var PROBE DLLS LIBDIR OUT OBJDUMP NM DLLTOOL)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "DelayImports.cmake: ${var} not given")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${PROBE} OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" lines "${dump}")

file(MAKE_DIRECTORY ${OUT})
set(keep "")
foreach(dll ${DLLS})
  # The functions the probe imports from this DLL, as objdump lists them under its name.
  set(functions "")
  set(dllname "")
  set(inside FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*DLL Name: (.*)$")
      string(TOLOWER "${CMAKE_MATCH_1}" name)
      set(inside FALSE)
      if(name STREQUAL "${dll}.dll")
        set(inside TRUE)
        set(dllname "${CMAKE_MATCH_1}")
      endif()
    elseif(inside AND line MATCHES "^[ \t]+[0-9a-fA-F]+[ \t]+[0-9]+[ \t]+([A-Za-z_][A-Za-z0-9_]*)$")
      list(APPEND functions ${CMAKE_MATCH_1})
    elseif(inside AND line MATCHES "^[ \t]*$")
      set(inside FALSE)
    endif()
  endforeach()
  if(NOT functions)
    message(FATAL_ERROR "DelayImports.cmake: ${PROBE} imports nothing from ${dll}.dll")
  endif()

  # Their stdcall decorations, from the toolchain's import library.
  execute_process(COMMAND ${NM} ${LIBDIR}/lib${dll}.a OUTPUT_VARIABLE symbols ERROR_QUIET
                  COMMAND_ERROR_IS_FATAL ANY)
  set(def "LIBRARY ${dllname}\nEXPORTS\n")
  foreach(function ${functions})
    if(symbols MATCHES " T _(${function}(@[0-9]+)?)\n")
      string(APPEND def "${CMAKE_MATCH_1}\n")
      list(APPEND keep "-Wl,-u,_${CMAKE_MATCH_1}")
    else()
      message(FATAL_ERROR "DelayImports.cmake: no ${function} in ${LIBDIR}/lib${dll}.a")
    endif()
  endforeach()
  file(WRITE ${OUT}/${dll}.def "${def}")
  execute_process(COMMAND ${DLLTOOL} -k -d ${OUT}/${dll}.def -D ${dllname} -y ${OUT}/lib${dll}_delay.a
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
list(JOIN keep "\n" keep)
file(WRITE ${OUT}/keep-thunks.rsp "${keep}\n")
