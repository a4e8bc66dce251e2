# Hash tables keyed by text or row ids from a backup, a phone or a file must use the seeded hash
# (src/platform/seededhash.h): Qt's own hashes let crafted keys collide under every seed. This finds a
# QHash, QSet or QMultiHash keyed by QString, QByteArray or a 64-bit integer (alone or in a pair), a std
# unordered container of them without TextHasher, and a hash of Qt's or the standard library's called
# on anything but our key types, anywhere under src/ but the widgets. A table or hash of the program's
# own strings or numbers says so with the comment "our own keys" on its line.
#   cmake -DSOURCE_DIR=<tree> -P check_seeded_hashes.cmake
cmake_minimum_required(VERSION 3.16)
include(${CMAKE_CURRENT_LIST_DIR}/source_checks.cmake)

set(text_key "(const[ \t]+)?(QString|QByteArray|std::string|qint64|quint64|qlonglong|qulonglong|int64_t|uint64_t|std::int64_t|std::uint64_t|long long)[ \t]*[,>]")
set(pair_key "(QPair|std::pair)[ \t]*<[ \t]*${text_key}")
set(qt_table "(QHash|QSet|QMultiHash)[ \t]*<[ \t]*(${text_key}|${pair_key})")
set(std_table "unordered_(map|set|multimap|multiset)[ \t]*<[ \t]*(${text_key}|${pair_key})")
# A hash of Qt's or the standard library's called by hand, unless on a key of ours.
set(hash_call "(qHash|qHashBits|qHashRange|std::hash[ \t]*<[^>]*>)[ \t]*\\(")
set(our_key "(TextKey|BytesKey|IdKey)[ \t]*\\(")

set(problems)
set(file_count 0)
file(GLOB_RECURSE files RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/src/*.h" "${SOURCE_DIR}/src/*.cpp")
foreach(file IN LISTS files)
  if(file MATCHES "^src/ui/" OR file STREQUAL "src/platform/seededhash.h")
    continue()
  endif()
  math(EXPR file_count "${file_count} + 1")
  source_lines("${file}" lines)
  set(line_no 0)
  foreach(line IN LISTS lines)
    math(EXPR line_no "${line_no} + 1")
    if(line MATCHES "our own keys")
      continue()
    endif()
    if(line MATCHES "${qt_table}" OR (line MATCHES "${std_table}" AND NOT line MATCHES "TextHasher")
       OR (line MATCHES "${hash_call}" AND NOT line MATCHES "${our_key}"))
      string(STRIP "${line}" shown)
      list(APPEND problems "${file}:${line_no}: ${shown}")
    endif()
  endforeach()
endforeach()

report_problems("${problems}" ${file_count}
  "table(s) keyed by text or row ids with Qt's or the standard hash: use TextHash, TextSet, IdHash, IdSet or TextHasher"
  "Seeded hashes: ${file_count} files in ${SOURCE_DIR}/src key their tables from outside by the seeded hash")
