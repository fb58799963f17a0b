# The program on the demo, as the README's run command starts it, in a scratch folder: it
# loads and registers the demo, registers the server (in the user's registry file, here under
# the scratch folder), serves until --quit-after, writes its settings back and ends with exit
# code 0.
# Run with -DPROGRAM=<VornOPCServer> -DDIR=<scratch folder> -DSETTINGS=<Demo.ini> -DCONFIG=<Demo.cfg>
# and XDG_DATA_HOME=<DIR>/data.
file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR})
file(COPY ${SETTINGS} ${CONFIG} DESTINATION ${DIR})

execute_process(COMMAND ${PROGRAM} --settings ${DIR}/Demo.ini --quit-after 1000 TIMEOUT 30
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the demo run ended with '${rc}' (want 0):\n${err}")
endif()

function(require text what)
  string(FIND "${text}" "${what}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "missing '${what}' in:\n${text}")
  endif()
endfunction()

require("${err}" "vx.app.start: Configuration loaded from ${DIR}/Demo.cfg: 3 stations, 0 modems, ")
if(NOT err MATCHES "vx\\.app\\.start: Configuration registered: 3 stations, [1-9][0-9]* items in the catalogue")
  message(FATAL_ERROR "the demo was not registered:\n${err}")
endif()
require("${err}" "Server was succefully registered.")
require("${err}" "VornOPCServer running")

file(READ ${DIR}/Demo.ini settings)
require("${settings}" "CfgFileName=${DIR}/Demo.cfg\n")
require("${settings}" "IsRegistered=1\n")
require("${settings}" "COM1=/tmp/vorn-demo-plc\n")
file(READ ${DIR}/data/VornOPCServer/VornOPCServer.reg registry)
require("${registry}" "K\tVorn OPC Server\\Clsid\n")
file(READ ${DIR}/data/dbus-1/services/org.vorn.Com.C806F678014F54D43BF45BB508ED2B724.service service)
require("${service}" "Exec=${PROGRAM} -Embedding --settings ${DIR}/Demo.ini\n")
