# Copies the text file IN to OUT with CR LF line ends, for Windows' Notepad:
#   cmake -DIN=README.md -DOUT=README.txt -P cmake/crlf-text.cmake
# OUT begins with a UTF-8 byte order mark, so that an older Notepad on a
# Japanese system does not read the text as Shift_JIS.
if(NOT IN OR NOT OUT)
  message(FATAL_ERROR "usage: cmake -DIN=FILE -DOUT=FILE -P crlf-text.cmake")
endif()
file(READ "${IN}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
string(ASCII 239 187 191 bom)
file(WRITE "${OUT}" "${bom}${text}")
