# Keeps the libraries under src/ in their layers. Each folder is one library and uses only the folders
# ranked below it:
#   platform <- core <- msgdb <- {backup, export, recovery, device} <- flows <- ui <- app
# Folders of equal rank stay apart too, and only ui and app may use widgets. devicelibs (the libraries loaded
# at run time) sits on platform alone and only device may use it. The sources are read as they
# stand when the check runs; BUILD_FACTS (written at configure time) holds the Qt widget include folders and
# what each folder's library links, directly and through those links.
#   cmake -DSOURCE_DIR=<tree> -DBUILD_FACTS=<file> -P check_layering.cmake
cmake_minimum_required(VERSION 3.16)
include(${CMAKE_CURRENT_LIST_DIR}/source_checks.cmake)

set(rank_platform 0)
set(rank_core 1)
set(rank_msgdb 2)
set(rank_backup 3)
set(rank_export 3)
set(rank_recovery 3)
set(rank_device 3)
set(rank_flows 4)
set(rank_ui 5)
set(rank_app 6)
set(rank_devicelibs 1)

# Folders only the named folders may use, whatever their ranks: the libraries loaded at run time are
# reached through their C interfaces by the device layer alone.
set(users_of_devicelibs device)

# Uses the ranks forbid but we accept, as "from>to" (e.g. "export>backup"). Empty today: a change that
# needs one adds it here with a comment saying why.
set(allowed_edges)

include(${BUILD_FACTS})
set(problems)

# Sets ${out} when folder `from` may not use folder `to`; names that are not folders of ours pass.
function(forbidden_use from to out)
  set(${out} FALSE PARENT_SCOPE)
  if(DEFINED rank_${to} AND NOT from STREQUAL to AND NOT "${from}>${to}" IN_LIST allowed_edges
     AND (NOT rank_${to} LESS rank_${from} OR (DEFINED users_of_${to} AND NOT from IN_LIST users_of_${to})))
    set(${out} TRUE PARENT_SCOPE)
  endif()
endfunction()

# Every header of the widget modules, by file name and by module folder (<QtWidgets/...>).
foreach(module IN LISTS widget_modules)
  set(dir "${widget_include_dir_${module}}")
  file(GLOB headers LIST_DIRECTORIES false RELATIVE "${dir}" "${dir}/*")
  if(NOT IS_DIRECTORY "${dir}" OR NOT headers)
    list(APPEND problems "no include folder of Qt5::${module} found ('${dir}'): its headers would go unseen")
  endif()
  foreach(header IN LISTS headers)
    set(widget_header_${header} Qt5::${module})
  endforeach()
  get_filename_component(module_dir "${dir}" NAME)
  set(widget_folder_${module_dir} Qt5::${module})
endforeach()

file(GLOB folders LIST_DIRECTORIES true RELATIVE "${SOURCE_DIR}/src" "${SOURCE_DIR}/src/*")
set(file_count 0)
foreach(from IN LISTS folders)
  if(NOT IS_DIRECTORY "${SOURCE_DIR}/src/${from}")
    continue()
  elseif(NOT DEFINED rank_${from})
    list(APPEND problems "src/${from}: not a known layer, give it a rank in ${CMAKE_CURRENT_LIST_FILE}")
    continue()
  endif()
  set(gui_allowed FALSE)
  if(NOT rank_${from} LESS rank_ui)
    set(gui_allowed TRUE)
  endif()

  file(GLOB_RECURSE files RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/src/${from}/*")
  foreach(file IN LISTS files)
    if(file MATCHES "\\.ui$" AND NOT gui_allowed)
      list(APPEND problems "${file}: a Designer form makes widgets")
    endif()
    if(NOT file MATCHES "\\.(h|hh|hpp|c|cc|cpp|cxx)$")
      continue()
    endif()
    math(EXPR file_count "${file_count} + 1")
    get_filename_component(file_dir "${SOURCE_DIR}/${file}" DIRECTORY)
    source_lines("${file}" lines)
    set(line_no 0)
    foreach(line IN LISTS lines)
      math(EXPR line_no "${line_no} + 1")
      if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*([<\"]([^>\"]+)[>\"])")
        continue()
      endif()
      set(where "${file}:${line_no}: #include ${CMAKE_MATCH_1}")
      set(include "${CMAKE_MATCH_2}")

      # The folder the header lives in: found beside the including file, or under src/ as written.
      set(header "${SOURCE_DIR}/src/${include}")
      if(EXISTS "${file_dir}/${include}")
        set(header "${file_dir}/${include}")
      endif()
      get_filename_component(header "${header}" ABSOLUTE)
      file(RELATIVE_PATH rel "${SOURCE_DIR}/src" "${header}")
      if(rel MATCHES "^([^/]+)/")
        forbidden_use(${from} ${CMAKE_MATCH_1} bad)
        if(bad)
          list(APPEND problems "${where}: src/${from} may not use src/${CMAKE_MATCH_1}")
        endif()
      endif()

      if(NOT gui_allowed)
        string(REGEX REPLACE "/.*" "" first "${include}")
        if(DEFINED widget_header_${include} OR DEFINED widget_folder_${first})
          list(APPEND problems "${where}: widgets belong in src/ui or src/app")
        endif()
      endif()
    endforeach()
  endforeach()

  foreach(lib IN LISTS links_${from})
    set(where "src/${from}/CMakeLists.txt: links ${lib}")
    if(NOT lib IN_LIST direct_${from})
      set(where "src/${from}/CMakeLists.txt: gets ${lib} through its links")
    endif()
    if(lib MATCHES "^src/(.+)")
      forbidden_use(${from} ${CMAKE_MATCH_1} bad)
      if(bad)
        list(APPEND problems "${where}: src/${from} may not use src/${CMAKE_MATCH_1}")
      endif()
    elseif(NOT gui_allowed AND lib MATCHES "^Qt5::(.+)" AND CMAKE_MATCH_1 IN_LIST widget_modules)
      list(APPEND problems "${where}: widgets belong in src/ui or src/app")
    endif()
  endforeach()
endforeach()

report_problems("${problems}" ${file_count}
  "layering problem(s)"
  "Layering: ${file_count} files in ${SOURCE_DIR}/src keep their layers")
