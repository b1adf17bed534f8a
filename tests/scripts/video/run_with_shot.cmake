# Runs the video script headless with a screenshot and checks the picture.
#   cmake -DKEVA=... -DSCRIPT=main.c -DSHOT=out.png -DCHECK=keva_video_fixtures -P run_with_shot.cmake
file(REMOVE ${SHOT})
execute_process(
  COMMAND ${KEVA} --headless --timeout 60 --screenshot ${SHOT} ${SCRIPT}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
message("${out}${err}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "keva exited with status ${status}")
endif()
if(NOT out MATCHES "video up")
  message(FATAL_ERROR "the script did not get as far as the screenshot")
endif()
execute_process(COMMAND ${CHECK} shot ${SHOT} 16 8 80 56 RESULT_VARIABLE status OUTPUT_VARIABLE report ERROR_VARIABLE report)
message("${report}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the screenshot does not show the video in its rectangle")
endif()
