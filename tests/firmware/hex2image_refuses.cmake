# Runs hex2image on a damaged file; passes only if it fails, prints EXPECT on
# stderr and removes the (pre-existing) output file.
file(WRITE ${OUTPUT} "stale output from an earlier run\n")
execute_process(COMMAND ${HEX2IMAGE} ${INPUT} ${OUTPUT}
  RESULT_VARIABLE result ERROR_VARIABLE err OUTPUT_VARIABLE out)
if(result EQUAL 0)
  message(FATAL_ERROR "hex2image accepted ${INPUT}")
endif()
string(FIND "${err}" "${EXPECT}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "expected '${EXPECT}' on stderr, got: ${err}")
endif()
if(EXISTS ${OUTPUT} OR EXISTS ${OUTPUT}.tmp)
  message(FATAL_ERROR "hex2image left ${OUTPUT} behind")
endif()
