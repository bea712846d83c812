# Writes OUTPUT, a C++ file that defines the functions of page_embedded.h
# from the page's files in PAGE_DIR, as byte arrays: no escaping rules of
# string literals to get wrong, and no length limit of a literal.
#
#   cmake -DPAGE_DIR=... -DOUTPUT=... -P embed_page.cmake
set(text "// Written by tools/web/embed_page.cmake from tools/web/page; do not edit.\n")
string(APPEND text "#include \"tools/web/page_embedded.h\"\n\nnamespace fybootp::web {\nnamespace {\n")
set(functions "")
foreach(pair "index.html;EmbeddedIndexHtml;kIndexHtml" "app.js;EmbeddedAppJs;kAppJs"
             "app.css;EmbeddedAppCss;kAppCss")
  list(GET pair 0 file)
  list(GET pair 1 function)
  list(GET pair 2 array)
  file(READ "${PAGE_DIR}/${file}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND text "constexpr char ${array}[] = {${bytes} '\\0'};\n")
  string(APPEND functions
         "std::string_view ${function}() { return {${array}, ${size}}; }\n")
endforeach()
string(APPEND text "}  // namespace\n\n${functions}\n}  // namespace fybootp::web\n")
file(WRITE "${OUTPUT}.tmp" "${text}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
