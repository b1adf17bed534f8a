# Runs an example headless with a screenshot and compares the last frame with
# the stored reference picture.
#   cmake -DKEVA=... -DGAME=... -DEXPECTED=regex -DSHOT=out.png -DREFERENCE=ref.png
#         -DCOMPARE=frame_compare [-DINPUT=recorded.input] -P run_with_reference.cmake
# Fails when keva does not exit with 0, when its output does not match
# EXPECTED, when it shows an error box, or when the frame differs.
file(REMOVE ${SHOT})
set(input_args)
if(INPUT)
  set(input_args --input ${INPUT})  # the player's part, played back
endif()
execute_process(
  COMMAND ${KEVA} --headless --timeout 60 ${input_args} --screenshot ${SHOT} ${GAME}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
message("${out}${err}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "keva exited with status ${status}")
endif()
if(err MATCHES "ERROR")
  message(FATAL_ERROR "the run showed an error box")
endif()
if(NOT out MATCHES "${EXPECTED}")
  message(FATAL_ERROR "the output does not match '${EXPECTED}'")
endif()
execute_process(
  COMMAND ${COMPARE} ${REFERENCE} ${SHOT}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE report
  ERROR_VARIABLE report)
message("${report}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the last frame ${SHOT} is not the reference ${REFERENCE}; when the change is "
                      "intended, copy the new frame over the reference")
endif()
