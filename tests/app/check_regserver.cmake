# The register switches: -regserver writes the class registration into the registry file and
# ends at once, before the settings are read; -UNREGSERVER removes it again; a registry file
# that cannot be written ends the run with a failure and a reason.
# Run with -DPROGRAM=<VornOPCServer> -DDIR=<scratch folder>.
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

# Beside the settings file unless named.
run_program(TRUE -regserver --settings ${DIR}/VornOPCServer.ini)
set(REG ${DIR}/VornOPCServer.reg)
if(NOT EXISTS ${REG})
  message(FATAL_ERROR "-regserver wrote no ${REG}")
endif()
require_lines(${REG}
  "K\t${SERVER_CLASS}\nV\t\tVORN DA2 Server\n"
  "K\t${SERVER_CLASS}\\LocalServer32\nV\t\t${PROGRAM}\n"
  "K\tVORN.DA2\\Clsid\nV\t\t{806F6780-14F5-4D43-BF45-BB508ED2B724}\n"
  "K\tVORN.OPCGroup\n"
  "K\tVORN.TS3UnknownEnumerator\n")
if(EXISTS ${DIR}/VornOPCServer.ini)
  message(FATAL_ERROR "-regserver went on to the settings")
endif()

run_program(TRUE --registry ${REG} -UNREGSERVER)
file(READ ${REG} text)
if(text MATCHES "VORN\\." OR text MATCHES "806F6780")
  message(FATAL_ERROR "-UNREGSERVER left keys:\n${text}")
endif()

file(WRITE ${DIR}/plain "not a folder")
run_program(FALSE /RegServer --registry=${DIR}/plain/VornOPCServer.reg --settings ${DIR}/VornOPCServer.ini)
