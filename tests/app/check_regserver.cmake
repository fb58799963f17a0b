# The register switches: -regserver writes the class registration into the registry file and
# the session bus's service files and ends at once, before the settings are read; -UNREGSERVER
# removes them again; a registry file that cannot be written ends the run with a failure and a
# reason.
# Run with -DPROGRAM=<VornOPCServer> -DDIR=<scratch folder> and XDG_DATA_HOME=<DIR>/data.
set(SERVER_CLASS "CLSID\\{806F6780-14F5-4D43-BF45-BB508ED2B724}")

function(run_program expect_success)
  execute_process(COMMAND ${PROGRAM} ${ARGN} TIMEOUT 20
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(expect_success AND NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN}: ended with '${rc}' (want 0): ${err}")
  endif()
  if(NOT expect_success AND (rc EQUAL 0 OR NOT rc MATCHES "^[0-9]+$" OR NOT err MATCHES "could not be registered"))
    message(FATAL_ERROR "${ARGN}: ended with '${rc}' (want a failure with a reason): ${err}")
  endif()
endfunction()

function(require_lines file)
  file(READ ${file} text)
  foreach(line IN LISTS ARGN)
    string(FIND "${text}" "${line}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${file} lacks '${line}':\n${text}")
    endif()
  endforeach()
endfunction()

file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR})

if(NOT "$ENV{XDG_DATA_HOME}" STREQUAL "${DIR}/data")
  message(FATAL_ERROR "run with XDG_DATA_HOME=${DIR}/data, not '$ENV{XDG_DATA_HOME}'")
endif()

# The user's registry file unless named; the service files start the program as the run that
# wrote them was started.
run_program(TRUE -regserver --settings ${DIR}/VornOPCServer.ini)
set(REG ${DIR}/data/VornOPCServer/VornOPCServer.reg)
if(NOT EXISTS ${REG})
  message(FATAL_ERROR "-regserver wrote no ${REG}")
endif()
require_lines(${REG}
  "K\t${SERVER_CLASS}\nV\t\tVORN DA2 Server\n"
  "K\t${SERVER_CLASS}\\LocalServer32\nV\t\t${PROGRAM}\nV\tBusName\torg.vorn.Com.C806F678014F54D43BF45BB508ED2B724\n"
  "K\tVORN.DA2\\Clsid\nV\t\t{806F6780-14F5-4D43-BF45-BB508ED2B724}\n"
  "K\tVORN.OPCGroup\n"
  "K\tVORN.TS3UnknownEnumerator\n")
if(EXISTS ${DIR}/VornOPCServer.ini)
  message(FATAL_ERROR "-regserver went on to the settings")
endif()
set(SERVICES ${DIR}/data/dbus-1/services)
file(GLOB services ${SERVICES}/*.service)
list(LENGTH services count)
if(NOT count EQUAL 5)
  message(FATAL_ERROR "-regserver wrote ${count} service files, want one per class: ${services}")
endif()
file(READ ${SERVICES}/org.vorn.Com.C806F678014F54D43BF45BB508ED2B724.service service)
set(want "[D-BUS Service]\nName=org.vorn.Com.C806F678014F54D43BF45BB508ED2B724\nExec=${PROGRAM} -Embedding --settings ${DIR}/VornOPCServer.ini\n")
if(NOT service STREQUAL want)
  message(FATAL_ERROR "the server's service file holds:\n${service}\nwant:\n${want}")
endif()

run_program(TRUE --registry ${REG} -UNREGSERVER)
file(READ ${REG} text)
if(text MATCHES "VORN\\." OR text MATCHES "806F6780")
  message(FATAL_ERROR "-UNREGSERVER left keys:\n${text}")
endif()
file(GLOB services ${SERVICES}/*.service)
if(services)
  message(FATAL_ERROR "-UNREGSERVER left service files: ${services}")
endif()

file(WRITE ${DIR}/plain "not a folder")
run_program(FALSE /RegServer --registry=${DIR}/plain/VornOPCServer.reg --settings ${DIR}/VornOPCServer.ini)
