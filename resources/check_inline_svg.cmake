# cmake -DSVG=FILE -P check_inline_svg.cmake
# Fails unless FILE is an SVG that can be put into a page as it is: it sizes
# itself (width, height, viewBox) and carries nothing that reaches beyond its
# own picture: no script or event handler, no style sheet (it would restyle
# the whole page), no id (two pictures on one page would clash), no link or
# reference to another file, no document type with entities.
file(READ ${SVG} text)
string(TOLOWER "${text}" text)
foreach(required "<svg " " width=\"" " height=\"" " viewbox=\"")
  string(FIND "${text}" "${required}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${SVG}: no ${required} - a picture inlined into the page must size itself")
  endif()
endforeach()
foreach(forbidden "<script" "[ \t\r\n]on[a-z]+[ \t\r\n]*=" "<style" "<foreignobject" "[ \t\r\n:]id[ \t\r\n]*="
                  "href" "url[ \t\r\n]*\\(" "<!doctype" "<!entity")
  if(text MATCHES "${forbidden}")
    message(FATAL_ERROR "${SVG}: contains ${CMAKE_MATCH_0} - not safe to inline into the page")
  endif()
endforeach()
