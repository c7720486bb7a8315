# The seam rule: the core (Common/, SafariExtension/ and companion/, but for the two
# main.cpp files that install the platform) sees its platform only through the
# interfaces of platform/. It never includes a toolkit, engine, store, network or
# crypto library's header, nor a platform/linux implementation.
#   cmake -DROOT=<source tree> -P CheckSeam.cmake     fails, naming each violation
if(NOT ROOT)
  message(FATAL_ERROR "usage: cmake -DROOT=<source tree> -P CheckSeam.cmake")
endif()

set(forbidden
  "gtk/" "gdk/" "gdk-pixbuf/" "adwaita\\.h" "webkit/" "webkit2/" "jsc/" "JavaScriptCore/"
  "libsoup/" "curl/" "sqlite3\\.h" "plist/" "openssl/" "glib\\.h" "glib-object\\.h"
  "glib-unix\\.h" "gio/" "platform/linux/")
list(JOIN forbidden "|" alternatives)
set(pattern "^[ \t]*#[ \t]*include[ \t]*[<\"](${alternatives})")

file(GLOB_RECURSE files RELATIVE ${ROOT} LIST_DIRECTORIES false
  ${ROOT}/Common/* ${ROOT}/SafariExtension/* ${ROOT}/companion/*)
set(violations "")
set(checked 0)
foreach(file ${files})
  if(NOT file MATCHES "\\.(h|hpp|cpp|cc)$" OR file MATCHES "^(SafariExtension|companion)/main\\.cpp$")
    continue()
  endif()
  math(EXPR checked "${checked} + 1")
  file(STRINGS ${ROOT}/${file} lines REGEX "${pattern}")
  foreach(line ${lines})
    string(STRIP "${line}" line)
    list(APPEND violations "  ${file}: ${line}")
  endforeach()
endforeach()

if(checked EQUAL 0)
  message(FATAL_ERROR "no core files found under ${ROOT}")
endif()
if(violations)
  list(JOIN violations "\n" text)
  message(FATAL_ERROR "the core includes platform headers; reach them through platform/ "
                      "interfaces instead:\n${text}")
endif()
message(STATUS "seam rule holds in ${checked} core files")
