# What both source checks share: reading a source as lines, and the ending.

# The lines of file (below SOURCE_DIR) into out, one list element each: characters that would split or
# join elements are blanked first.
function(source_lines file out)
  file(READ "${SOURCE_DIR}/${file}" text)
  string(REGEX REPLACE "[][;\\\\]" "_" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

# Every problem on a line of its own and a failure that counts them, or the passing summary; no files
# read at all is a problem too.
function(report_problems problems file_count failure summary)
  if(file_count EQUAL 0)
    list(APPEND problems "no sources found under ${SOURCE_DIR}/src")
  endif()
  if(problems)
    foreach(problem IN LISTS problems)
      message("${problem}")
    endforeach()
    list(LENGTH problems count)
    message(FATAL_ERROR "${count} ${failure}")
  endif()
  message(STATUS "${summary}")
endfunction()
