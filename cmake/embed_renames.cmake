# Turns data/directory_renames.tsv into the C++ definition of kDirectoryRenames.
# Each row is "old<TAB>new"; blank lines and lines starting with '#' are comments.
file(STRINGS "${IN}" lines)
set(body "")
set(row 0)
foreach(line IN LISTS lines)
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  math(EXPR row "${row} + 1")
  string(FIND "${line}" "\t" tab)
  if(tab LESS 1)
    message(FATAL_ERROR "${IN}: row ${row} has no tab: ${line}")
  endif()
  string(SUBSTRING "${line}" 0 ${tab} old)
  math(EXPR rest "${tab} + 1")
  string(SUBSTRING "${line}" ${rest} -1 new)
  if(new STREQUAL "" OR new MATCHES "\t" OR NOT old MATCHES "^[A-Za-z0-9_\\\\-]+$" OR NOT new MATCHES "^[A-Za-z0-9_\\\\-]+$")
    message(FATAL_ERROR "${IN}: row ${row} is not two names of A-Z a-z 0-9 _ - \\: ${line}")
  endif()
  string(REPLACE "\\" "\\\\" old "${old}")
  string(REPLACE "\\" "\\\\" new "${new}")
  string(APPEND body "    \"${old}\", \"${new}\",\n")
endforeach()
file(WRITE "${OUT}.tmp"
  "// Generated from data/directory_renames.tsv at build time; edit that file.\n"
  "#include \"run/run.h\"\n\n"
  "const char* const kDirectoryRenames[] = {\n${body}    nullptr,\n};\n")
file(RENAME "${OUT}.tmp" "${OUT}")
