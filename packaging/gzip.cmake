# cmake -DGZIP=/usr/bin/gzip -DFILE=path -P gzip.cmake   writes path.gz and keeps path.
# gzip -9n: best compression, no name or time stamp inside, so the same input gives the same bytes.
execute_process(COMMAND "${GZIP}" -9n -c "${FILE}" OUTPUT_FILE "${FILE}.gz.tmp" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE "${FILE}.gz.tmp")
  message(FATAL_ERROR "gzip failed on ${FILE}")
endif()
file(RENAME "${FILE}.gz.tmp" "${FILE}.gz")
