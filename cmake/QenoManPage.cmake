# Writes qeno-host's manual page from its --help, gzipped as Debian keeps
# manual pages:
#   cmake -DHOST=path/to/qeno-host -DVERSION=0.2.0 -DOUT=qeno-host.1.gz -P QenoManPage.cmake
execute_process(COMMAND "${HOST}" --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${HOST} --help failed: ${status}")
endif()

# Text as roff shows it: backslashes and hyphens literal, no line taken for a
# request.
function(roff text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "^([.'])" "\\\\&\\1" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

string(REPLACE ";" "\\;" help "${help}")
string(REPLACE "\n" ";" lines "${help}")
set(options "")
set(in_options OFF)
foreach(line IN LISTS lines)
  if(line STREQUAL "Options:")
    set(in_options ON)
  elseif(in_options AND line MATCHES "^  (-([^ ]| [^ ])*)  +([^ ].*)$")
    # "  --port INT       Port of the server...": the option, two spaces or
    # more, then its help.
    roff("${CMAKE_MATCH_1}" flag)
    roff("${CMAKE_MATCH_3}" text)
    string(APPEND options ".TP\n.B ${flag}\n${text}\n")
  elseif(in_options AND line MATCHES "^  (-([^ ]| [^ ])*)$")
    roff("${CMAKE_MATCH_1}" flag)
    string(APPEND options ".TP\n.B ${flag}\n")
  elseif(in_options AND line MATCHES "^ +([^ ].*)$")
    # The help of an option whose name filled its column.
    roff("${CMAKE_MATCH_1}" text)
    string(APPEND options "${text}\n")
  endif()
endforeach()
if(options STREQUAL "")
  message(FATAL_ERROR "${HOST} --help lists no options")
endif()

string(CONCAT page
  ".TH QENO\\-HOST 1 \"\" \"qeno-host ${VERSION}\" \"User Commands\"\n"
  ".SH NAME\n"
  "qeno\\-host \\- run Qeno Server boxes in a graph, serving real clients\n"
  ".SH SYNOPSIS\n"
  ".B qeno\\-host\n"
  "[\\fIOPTIONS\\fR]\n"
  ".SH DESCRIPTION\n"
  ".B qeno\\-host\n"
  "loads module libraries, builds a graph of boxes (one Qeno Server box, or\n"
  "the graph of a file), starts its servers and reads commands on standard\n"
  "input until\n"
  ".BR quit ,\n"
  "SIGINT, SIGTERM or SIGHUP. Each Qeno Server box is a small TCP server that\n"
  "serves one client at a time and answers with the value on its input\n"
  "sendOutput. With\n"
  ".BR \\-\\-ui ,\n"
  "it also serves a live editor page of the graph on this machine.\n"
  ".SH OPTIONS\n"
  "${options}"
  ".SH COMMANDS\n"
  "Type\n"
  ".B help\n"
  "once it runs for the commands on standard input: reply, enable, set, props,\n"
  "status, save, add, remove, link, undo and others.\n"
  ".SH FILES\n"
  ".TP\n"
  ".I ~/.local/lib/qeno/modules\n"
  "the user's module libraries\n"
  ".TP\n"
  ".I /usr/local/lib/qeno/modules\n"
  "the machine's local module libraries\n"
  ".SH ENVIRONMENT\n"
  ".TP\n"
  ".B QENO_MODULE_PATH\n"
  "more folders of module libraries, separated by colons\n"
  ".SH EXIT STATUS\n"
  "0 when stopped by a command or a signal; 2 for a bad flag; 1 for any other\n"
  "failure, told in one line on standard error that starts with qeno\\-host:.\n"
  ".SH SEE ALSO\n"
  "The guides in\n"
  ".IR /usr/share/doc/qeno\\-host/ :\n"
  "console.md, editor\\-page.md, graph\\-files.md, service.md.\n")

get_filename_component(folder "${OUT}" DIRECTORY)
file(MAKE_DIRECTORY "${folder}")
string(REGEX REPLACE "\\.gz$" "" plain "${OUT}")
file(WRITE "${plain}" "${page}")
execute_process(COMMAND gzip -9nf "${plain}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip ${plain} failed: ${status}")
endif()
