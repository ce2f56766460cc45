# cmake -DSCDOC=... -DGZIP=... -DINPUT=page.1.scd -DOUTPUT=page.1 -P scdoc.cmake
# Turns a scdoc page into roff (OUTPUT) and its gzip -9n copy for installation (OUTPUT.gz).
execute_process(COMMAND "${SCDOC}" INPUT_FILE "${INPUT}" OUTPUT_FILE "${OUTPUT}.tmp"
                ERROR_VARIABLE error RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE "${OUTPUT}.tmp")
  message(FATAL_ERROR "scdoc failed on ${INPUT}: ${error}")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
set(FILE "${OUTPUT}")
include("${CMAKE_CURRENT_LIST_DIR}/../gzip.cmake")
