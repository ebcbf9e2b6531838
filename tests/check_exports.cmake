# Lists the defined dynamic symbols of LIBRARY and fails unless they are exactly the engine's
# exports.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(found "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
  if(name)
    list(APPEND found ${name})
  endif()
endforeach()
list(SORT found)
set(expected lAbortRun lClean lCurrentlyRunning lGetIteration lGetKovError lRunKovDA lRunKovEM
    lSetEnumerateOptions lSetPosteriorFile lSetStartOptions)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "libkov.so exports '${found}', expected '${expected}'")
endif()
message(STATUS "libkov.so exports exactly: ${found}")
