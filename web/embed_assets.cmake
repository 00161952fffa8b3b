# Writes OUTPUT, a C++ file holding the files of PAGE_DIR (web/page/) as byte
# arrays and the table findAsset() searches. index.html is served as "/".
file(GLOB FILES ${PAGE_DIR}/*)
set(body "")
set(table "")
set(n 0)
foreach(file IN LISTS FILES)
  get_filename_component(name ${file} NAME)
  get_filename_component(ext ${file} EXT)
  file(READ ${file} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "const unsigned char asset${n}[] = {${bytes}};\n")
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(ext STREQUAL ".svg")
    set(type "image/svg+xml")
  else()
    set(type "application/octet-stream")
  endif()
  set(path "/${name}")
  if(name STREQUAL "index.html")
    set(path "/")
  endif()
  string(APPEND table "    {\"${path}\", \"${type}\", asset${n}, sizeof asset${n}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE ${OUTPUT}.tmp "// Generated from web/page/ by web/embed_assets.cmake; do not edit.
#include \"web/assets.h\"

namespace mqttweb {
namespace {
${body}
const Asset assets[] = {
${table}};
}  // namespace

const Asset* findAsset(const std::string& path) {
  for (const Asset& a : assets) {
    if (path == a.path) return &a;
  }
  return nullptr;
}

}  // namespace mqttweb
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
