# Embeds binary files as byte arrays, failing when a file's length is not the
# one given for it:
#   cmake -DOUTPUT=<file.cpp> -DHEADER=<include> -DFILES="<path>=<symbol>=<length>;..."
#         -P EmbedFiles.cmake
# The generated arrays take their bound from their bytes, so a header that
# declares them with their lengths catches a mismatch a second time.
if(NOT OUTPUT OR NOT FILES)
  message(FATAL_ERROR "EmbedFiles.cmake needs OUTPUT and FILES")
endif()

set(text "// Generated from the files named below; do not edit.\n")
if(HEADER)
  string(APPEND text "#include \"${HEADER}\"\n")
endif()
string(APPEND text "\n")
foreach(entry ${FILES})
  string(REPLACE "=" ";" parts "${entry}")
  list(LENGTH parts count)
  if(NOT count EQUAL 3)
    message(FATAL_ERROR "entry '${entry}' is not <path>=<symbol>=<length>")
  endif()
  list(GET parts 0 path)
  list(GET parts 1 symbol)
  list(GET parts 2 expected)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "${path} is missing")
  endif()
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR length "${digits} / 2")
  if(NOT length EQUAL expected)
    message(FATAL_ERROR "${path} is ${length} bytes; it must be ${expected}")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Sixteen bytes a line.
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
  get_filename_component(name "${path}" NAME)
  string(APPEND text "// ${name}\nconst BYTE ${symbol}[] = {\n    ${bytes}\n};\n\n")
endforeach()

# Rewritten only when the content changes, so that an unchanged file set
# rebuilds nothing.
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
